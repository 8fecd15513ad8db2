# `python3 -m nuvex`: the nuvex command, the same as the console script installed by pip.
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
