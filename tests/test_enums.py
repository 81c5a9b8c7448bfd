"""The enumeration classes Profile, ListKind, ModuleKind and ParseErrorKind."""

import enum
import operator

import pytest

import pyql
from pyql import ListKind, ModuleKind, ParseErrorKind, Profile

MEMBERS = {
    Profile: ["Quillet", "Md", "MdStrict"],
    ListKind: ["Ordered", "Unordered"],
    ModuleKind: ["Tables", "Footnotes", "Math", "Tasks", "Strikethrough", "Autolink", "Html"],
    ParseErrorKind: ["UnexpectedEof", "UnclosedDelimiter", "InvalidSyntax", "UnknownDirective",
                     "InvalidMetadata", "Other"],
}
ALL = [(cls, value, name) for cls, names in MEMBERS.items() for value, name in enumerate(names)]


@pytest.mark.parametrize("cls", MEMBERS)
def test_members_are_attached_in_order(cls):
    assert [k for k in vars(cls) if not k.startswith("_")] == MEMBERS[cls]
    assert not issubclass(cls, enum.Enum) and cls.__bases__ == (object,)


@pytest.mark.parametrize("cls, value, name", ALL)
def test_member(cls, value, name):
    member = getattr(cls, name)
    assert type(member) is cls and member is getattr(cls, name)
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert member == value and value == member and not member != value
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(AttributeError):
        member.extra = 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise RuntimeError("swallowed")


EQUALITY = [
    (Profile.Md, 1, True),
    (Profile.Md, 1.0, False),
    (Profile.Md, True, True),
    (Profile.Quillet, False, True),
    (Profile.Md, 2, False),
    (Profile.Md, -255, False),
    (Profile.Md, 257, False),
    (Profile.Md, 2**64 + 1, False),  # out of the machine range: swallowed, not equal
    (Profile.Md, -2**70, False),
    (Profile.Md, "Md", False),
    (Profile.Md, "1", False),
    (Profile.Md, None, False),
    (Profile.Md, Index(1), True),
    (Profile.Md, Index(2), False),
    (Profile.Md, BadIndex(), False),
    (Profile.Md, Profile.Md, True),
    (Profile.Md, Profile.MdStrict, False),
    (ListKind.Ordered, ListKind.Ordered, True),
    (ModuleKind.Tables, ListKind.Ordered, False),  # both 0, but different classes
    (ParseErrorKind.UnclosedDelimiter, Profile.Md, False),
    (ModuleKind.Html, 6, True),
    (ParseErrorKind.Other, 5, True),
]


@pytest.mark.parametrize("a, b, equal", EQUALITY)
def test_equality(a, b, equal):
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is (not equal) and (b != a) is (not equal)


@pytest.mark.parametrize("a, b", [(Profile.Quillet, Profile.Md), (Profile.Md, 1), (ListKind.Ordered, 0)])
@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(a, b, op):
    with pytest.raises(TypeError):
        op(a, b)
    with pytest.raises(TypeError):
        op(b, a)


def test_unhashable():
    assert Profile.__hash__ is None
    with pytest.raises(TypeError):
        {Profile.Md}
    with pytest.raises(TypeError):
        {ListKind.Ordered: 1}


@pytest.mark.parametrize("cls", MEMBERS)
def test_no_constructor(cls):
    for args in [(), (0,), ("Md",)]:
        with pytest.raises(TypeError) as err:
            cls(*args)
        assert str(err.value) == f"No constructor defined for {cls.__name__}"


def test_handed_out_members_are_new_objects():
    doc = pyql.parse("@modules html\n", Profile.Md)
    assert type(doc.profile) is Profile and doc.profile == Profile.Md and doc.profile is not Profile.Md
    assert doc.profile is not doc.profile
    [module] = doc.modules
    assert module == ModuleKind.Html and module is not ModuleKind.Html
    [error] = pyql.parse_with_recovery("::nope\n::\n").errors
    assert type(error.kind) is ParseErrorKind and error.kind == ParseErrorKind.UnknownDirective
    lst = pyql.parse("::list ordered\n- a\n::\n").blocks[0]
    assert type(lst.kind) is ListKind and lst.kind == ListKind.Ordered and lst.kind is not lst.kind
