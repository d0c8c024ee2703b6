"""Core of an agent long-term memory and reflection ("dream") kit.

The compiled modules live in :mod:`quorvane._internal`; see the README.
"""

# The one place the version is written: the build reads it from this line.
__version__ = "0.1.0"
