# Version of the package; equal to the project version of the C library it wraps.
__version__ = "0.3.2"
