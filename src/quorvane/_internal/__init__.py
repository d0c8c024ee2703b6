"""Compiled core modules of quorvane: prompt builders, reply parsers,
tuning profiles and the task queue. Each submodule is its own extension
module; import the one you need, e.g. ``from quorvane._internal import brevick``.
"""
