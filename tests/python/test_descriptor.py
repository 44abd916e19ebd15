"""PayloadDescriptor objects and descriptor dicts as add_external accepts them."""

import pytest

import tessary_core as tc
from freed_text import fresh, take_freed_memory

FIELDS = {"kind": "model", "content_hash": "h1", "framework": "torch", "version": "2",
          "io_schema": "s"}


def make(**overrides):
    return tc.PayloadDescriptor(**{**FIELDS, **overrides})


def test_fields_read_back_as_new_strings():
    d = make(preprocessing_ref="pp")
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref) == \
        ("model", "h1", "torch", "2", "s", "pp")
    assert make().preprocessing_ref is None
    assert make(preprocessing_ref=None).preprocessing_ref is None
    empty = tc.PayloadDescriptor(kind="", content_hash="", framework="", version="", io_schema="")
    assert (empty.kind, empty.io_schema, empty.preprocessing_ref) == ("", "", None)
    assert make(kind="é\0x").kind == "é\0x"


def test_descriptors_are_values_only_inside_node_keys():
    a, b = make(), make()
    assert a is not b and a != b  # no equality of their own
    s = tc.GraphStore()
    x = s.add_external(a, [])
    assert s.add_external(b, []) == x
    assert s.add_external(dict(FIELDS), []) == x
    assert s.add_external({**FIELDS, "preprocessing_ref": None, "extra": 1}, []) == x
    # An empty reference is present, so it is a different node.
    assert s.add_external(make(preprocessing_ref=""), []) != x
    assert s.add_external({**FIELDS, "preprocessing_ref": ""}, []) == x + 1
    assert s.add_external(make(version="3"), []) == x + 2


def test_constructor_takes_keywords_only():
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor("model")
    assert str(e.value) == "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor(*FIELDS.values())
    assert str(e.value) == "PayloadDescriptor.__new__() takes 0 positional arguments but 5 were given"
    with pytest.raises(TypeError) as e:
        make(colour="red")
    assert str(e.value) == "PayloadDescriptor.__new__() got an unexpected keyword argument 'colour'"


def test_missing_fields_are_named_together_in_declaration_order():
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor(**{k: v for k, v in FIELDS.items() if k != "io_schema"})
    assert str(e.value) == \
        "PayloadDescriptor.__new__() missing 1 required keyword argument: 'io_schema'"
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor(version="1", kind="k", preprocessing_ref="p")
    assert str(e.value) == ("PayloadDescriptor.__new__() missing 3 required keyword arguments: "
                            "'content_hash', 'framework', and 'io_schema'")
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor(framework="f", version="1", kind="k")
    assert str(e.value) == ("PayloadDescriptor.__new__() missing 2 required keyword arguments: "
                            "'content_hash' and 'io_schema'")
    with pytest.raises(TypeError) as e:
        tc.PayloadDescriptor()
    assert str(e.value) == ("PayloadDescriptor.__new__() missing 5 required keyword arguments: "
                            "'kind', 'content_hash', 'framework', 'version', and 'io_schema'")


def test_field_types_are_checked_in_declaration_order():
    with pytest.raises(TypeError) as e:
        make(kind=1)
    assert str(e.value) == "argument 'kind': 'int' object is not an instance of 'str'"
    assert isinstance(e.value.__cause__, TypeError)
    assert str(e.value.__cause__) == "'int' object is not an instance of 'str'"
    with pytest.raises(TypeError, match="^argument 'framework': 'bytes' object"):
        make(framework=b"x", io_schema=None)
    with pytest.raises(TypeError) as e:
        make(io_schema=None)
    assert str(e.value) == "argument 'io_schema': 'None' is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        make(preprocessing_ref=3.5)
    assert str(e.value) == "argument 'preprocessing_ref': 'float' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError):
        make(content_hash="\ud800")


def test_attributes_are_read_only():
    d = make()
    for field in ["kind", "content_hash", "framework", "version", "io_schema",
                  "preprocessing_ref"]:
        with pytest.raises(AttributeError):
            setattr(d, field, "x")
        with pytest.raises(AttributeError):
            delattr(d, field)
    assert d.kind == "model"


def test_descriptor_dict_checks_in_order():
    s = tc.GraphStore()

    def err(desc):
        with pytest.raises((TypeError, ValueError)) as e:
            s.add_external(desc, [])
        return type(e.value).__name__, str(e.value)

    assert err({}) == ("ValueError", "descriptor missing required field 'kind'")
    assert err({"kind": "m"}) == ("ValueError", "descriptor missing required field 'content_hash'")
    assert err({**FIELDS, "version": None}) == \
        ("TypeError", "'None' is not an instance of 'str'")
    # preprocessing_ref is looked at first, before any missing field.
    assert err({"preprocessing_ref": 1}) == ("TypeError", "'int' object is not an instance of 'str'")
    # A wrong type in an early field wins over a later missing one.
    assert err({"kind": 5}) == ("TypeError", "'int' object is not an instance of 'str'")
    assert err({"kind": "m", "content_hash": "h", "framework": "f", "version": "v"}) == \
        ("ValueError", "descriptor missing required field 'io_schema'")
    for other in (None, [], "model", FIELDS.items(), 3):
        assert err(other) == ("TypeError", "descriptor must be a PayloadDescriptor or dict")
    assert s.node_count() == 0


def test_descriptor_dict_subclass_and_node_view():
    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("fields are read from the dict itself")

    s = tc.GraphStore()
    i = s.add_external(D(FIELDS, preprocessing_ref="r"), [])
    assert s.nodes()[i]["descriptor"] == {**FIELDS, "preprocessing_ref": "r"}
    assert list(s.nodes()[i]["descriptor"]) == ["kind", "content_hash", "framework", "version",
                                                "io_schema", "preprocessing_ref"]


# The order in which a descriptor dict's fields are looked up.
LOOKUP_ORDER = ["preprocessing_ref", "kind", "content_hash", "framework", "version", "io_schema"]


class CollidingKey:
    """A dict key that hashes like `field`, so looking that field up compares it with this key.
    Once armed, the comparison replaces the fields looked up before (dropping the strs read
    from them) and reuses their memory."""

    def __init__(self, field):
        self.field, self.d, self.ran = field, None, False

    def __hash__(self):
        return hash(self.field)

    def __eq__(self, other):
        if self.d is not None:
            d, self.d = self.d, None
            for k in LOOKUP_ORDER[:LOOKUP_ORDER.index(self.field)]:
                d[k] = fresh("replaced")
            self.junk = take_freed_memory()
            self.ran = True
        return False


def fresh_fields(**overrides):
    return {k: fresh(v) for k, v in {**FIELDS, "kind": "model-é", **overrides}.items()}


def test_descriptor_text_outlives_a_key_comparison_that_replaces_it():
    for later in ["content_hash", "io_schema"]:
        s = tc.GraphStore()
        key = CollidingKey(later)
        d = fresh_fields(preprocessing_ref="prep")
        value = d.pop(later)
        d[key] = 0  # met first when `later` is looked up
        d[later] = value
        key.d = d
        i = s.add_external(d, [], {"n": 1})
        assert key.ran and d["kind"] == "replaced"
        assert s.add_external({**FIELDS, "kind": "model-é", "preprocessing_ref": "prep"}, [],
                              {"n": 1}) == i
        assert s.node_count() == 1


def test_descriptor_text_outlives_a_param_value_that_empties_the_dict():
    class Empty:
        def __init__(self, d):
            self.d, self.ran = d, False

        def __index__(self):
            self.d.clear()
            self.d.update(fresh_fields(kind="other"))
            self.junk = take_freed_memory()
            self.ran = True
            return 3

    s = tc.GraphStore()
    d = fresh_fields()
    empty = Empty(d)
    i = s.add_external(d, [], {"n": empty})
    assert empty.ran and d["kind"] == "other"
    assert s.add_external({**FIELDS, "kind": "model-é"}, [], {"n": 3}) == i
    assert s.node_count() == 1
