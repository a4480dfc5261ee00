"""Pure-Python reference renderer, an oracle for orrery.pretty_format.

Containers are read through base-class methods, so overrides are never called.
"""
import dataclasses


def text(s):
    """UTF-8 text of a string; each lone surrogate becomes three U+FFFD."""
    if type(s) is not str:
        s = str(s)
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def is_dataclass_like(obj):
    if isinstance(obj, type):  # a class is never an instance, whatever it carries
        return False
    try:
        getattr(obj, "__dataclass_fields__")
    except Exception:  # anything else (an interrupt, an exit) reaches the caller
        return False
    return True


def is_pseudo_field(value):
    """A ClassVar or InitVar entry: a real Field instance not marked as a field."""
    return (issubclass(type(value), dataclasses.Field)
            and value._field_type is not dataclasses._FIELD)


def _render(obj, indent, column, out):
    margin, step, child, kind = " " * column, " " * indent, column + indent, type(obj)
    if is_dataclass_like(obj):
        name = text(str(obj.__class__.__name__))
        fields = obj.__dataclass_fields__
        if not isinstance(fields, dict):
            raise TypeError(f"'{type(fields).__qualname__}' object cannot be cast as 'dict'")
        opened = False
        for key, field in list(dict.items(fields)):
            if is_pseudo_field(field):
                continue
            if not opened:
                out.append(name + "(\n")
                opened = True
            field_name = str(key)  # the attribute is read before the line starts
            value = getattr(obj, field_name)
            out.append(margin + step + text(field_name) + "=")
            _render(value, indent, child, out)
            out.append(",\n")
        out.append(margin + ")" if opened else name + "()")
    elif issubclass(kind, (list, tuple)):
        base = list if issubclass(kind, list) else tuple
        opening, closing = "[]" if base is list else "()"
        out.append(opening + ("\n" if base.__len__(obj) else closing))
        if not base.__len__(obj):
            return
        i, start = 0, base.__len__(obj)
        while i < min(start, base.__len__(obj)):  # a repr() may shrink the list
            out.append(margin + step)
            _render(base.__getitem__(obj, i), indent, child, out)
            out.append(",\n")
            i += 1
        out.append(margin + closing)
    elif issubclass(kind, dict):
        out.append("{\n" if dict.__len__(obj) else "{}")
        if not dict.__len__(obj):
            return
        for key, value in list(dict.items(obj)):
            out.append(margin + step)
            _render(key, indent, child, out)
            out.append(": ")
            _render(value, indent, child, out)
            out.append(",\n")
        out.append(margin + "}")
    else:
        out.append(text(repr(obj)))


def model_format(obj, indent=4):
    out = []
    _render(obj, indent, 0, out)
    return "".join(out)
