"""Core of an agent long-term memory and reflection ("dream") kit.

The compiled modules live in :mod:`quorvane._internal`; see the README.
"""

__version__ = "0.1.0"
