"""Values that fight back, shared by the bad-input matrix and the memory
tests: a mapping that is not a dict, lookups and conversions that raise, and
a value whose text is not its type's."""

import collections.abc


class Boom(Exception):
    """Raised by the hostile dunders below; it must reach the caller unchanged."""


class Record(collections.abc.Mapping):
    """A mapping that is not a dict: Record(data) or Record(**items)."""

    def __init__(self, data=(), /, **items):
        self._data = dict(data, **items)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def __repr__(self):
        return f"Record({self._data!r})"


class GetitemRaises(Record):
    def __getitem__(self, key):
        raise Boom(key)

    def __repr__(self):
        return "GetitemRaises()"


class Faulty(Record):
    """A mapping whose lookup of one key, event_type, fails with an error of its own."""

    def __getitem__(self, key):
        if key == "event_type":
            raise Boom("storage offline")
        return super().__getitem__(key)

    def items(self):
        return self._data.items()


class BadStr:
    def __str__(self):
        raise Boom("__str__")

    def __repr__(self):
        raise Boom("__repr__")


class Quiet:
    """Prints and converts like bad-input's Mutator, editing nothing."""

    text = "edited"
    number = 0.25

    def __str__(self):
        return self.text

    def __repr__(self):
        return "<" + self.text + ">"

    def __float__(self):
        return self.number
