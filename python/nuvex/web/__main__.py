# `python3 -m nuvex.web`: the web calculator's command, the same as `nuvex serve`.
from .server import main

raise SystemExit(main(prog="python3 -m nuvex.web"))
