"""Property-based fuzzing of the Python boundary and of whole runs.

Every constructor, every attribute setter and sequence_sga are called with
arbitrary Python values: wrong types, None, huge and negative integers, NaN and
infinities, strings, nested sequences, and hostile objects whose conversion
hooks raise, return the wrong type, or change the very object being converted
or assigned to. Each call must either succeed or raise one of the documented
exception types with a message (or the hostile object's own exception), must
leave its arguments' reference counts as they were, and must leave the
interpreter able to do a normal run afterwards.

Whole runs with small random settings and every operator are checked against
the invariants of their result.

The number of examples is bounded by the "fuzz" settings below so the file
stays quick in CI; set OVILA_FUZZ_EXAMPLES to fuzz longer locally.
"""

import math
import os
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings as hsettings, strategies as st

import ovila_genetic_py as og

from conftest import SETTINGS_FIELDS, SGA_PARAMETERS, make_settings, run, sga_arguments
from test_binding import all_attributes, snapshot
from test_run import check_lineage

EXAMPLES = int(os.environ.get("OVILA_FUZZ_EXAMPLES", "150"))
FUZZ = hsettings(max_examples=EXAMPLES, deadline=None, database=None,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                        HealthCheck.filter_too_much])

PanicException = None  # the module's internal-error type, looked up on first panic

# What any call of the module may raise.
DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError, RuntimeError, MemoryError)

U64_MAX = 2**64 - 1


class UserError(Exception):
    """Raised by the hostile objects' own methods; allowed to propagate unchanged."""


# ---------------------------------------------------------------------------
# Hostile objects
# ---------------------------------------------------------------------------
#
# Objects that act on "the target" (the object being assigned to, or the
# settings object being read) get it through bind() just before the call.


class Hostile:
    target = None
    target_attribute = None
    acts_on_target = False

    def __repr__(self):
        return f"<{type(self).__name__}>"


class RaisingIndex(Hostile):
    def __index__(self):
        raise UserError("__index__ failed")


class WrongIndex(Hostile):
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


class RaisingFloat(Hostile):
    def __float__(self):
        raise UserError("__float__ failed")


class WrongFloat(Hostile):
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result


class Number(Hostile):
    """A well-behaved number through __index__ and __float__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)


class AssignsTarget(Hostile):
    """A number whose conversion first assigns (or deletes) an attribute of the target."""

    acts_on_target = True

    def __init__(self, value, replacement, delete=False):
        self.value = value
        self.replacement = replacement
        self.delete = delete

    def _act(self):
        if self.target is None or self.target_attribute is None:
            return
        try:
            if self.delete:
                delattr(self.target, self.target_attribute)
            else:
                setattr(self.target, self.target_attribute, self.replacement)
        except DOCUMENTED:
            pass
        getattr(self.target, self.target_attribute, None)

    def __index__(self):
        self._act()
        return self.value

    def __float__(self):
        self._act()
        return float(self.value)


class RaisingLength(list, Hostile):
    def __len__(self):
        raise UserError("__len__ failed")


class LyingLength(list, Hostile):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class RaisingIter(list, Hostile):
    def __iter__(self):
        raise UserError("__iter__ failed")


class WrongIter(list, Hostile):
    def __iter__(self):
        return 5


class ClearingIter(list, Hostile):
    """Empties itself as iteration starts."""

    def __iter__(self):
        iterator = list.__iter__(self)
        self.clear()
        return iterator


class GrowingIter(list, Hostile):
    """Appends to itself a bounded number of times while being iterated."""

    def __iter__(self):
        for item in list.copy(self):
            if list.__len__(self) < 64:
                self.append(item)
            yield item


class ItemMutatesContainer(Hostile):
    """An item whose conversion appends to, clears or replaces the list holding it."""

    def __init__(self, value, action):
        self.value = value
        self.action = action
        self.container = None

    def _act(self):
        c = self.container
        if c is None:
            return
        if self.action == "append" and len(c) < 64:
            c.append(self.value)
        elif self.action == "clear":
            c.clear()
        elif self.action == "replace":
            c[:] = [self.value] * 3

    def __index__(self):
        self._act()
        return self.value

    def __float__(self):
        self._act()
        return float(self.value)


class GetItemSequence(Hostile):
    """A sequence by __len__ and __getitem__ only, failing at `fail_at` if given."""

    def __init__(self, items, fail_at=None):
        self.items = list(items)
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if self.fail_at is not None and index == self.fail_at:
            raise UserError("__getitem__ failed")
        return self.items[index]


class RaisingHashItemTuple(tuple, Hostile):
    """A hashable tuple whose iteration fails: fine in a set, fails conversion."""

    def __iter__(self):
        raise UserError("tuple __iter__ failed")


class SettingsLike(Hostile):
    """Settings read attribute by attribute: values, raising or mutating reads."""

    def __init__(self, values, raising=(), mutating=None):
        self.__dict__["_values"] = dict(values)
        self.__dict__["_raising"] = set(raising)
        self.__dict__["_mutating"] = mutating  # (field read, field changed, new value)

    def __getattr__(self, name):
        values = self.__dict__["_values"]
        if name in self.__dict__["_raising"]:
            raise UserError(f"reading {name} failed")
        mutating = self.__dict__["_mutating"]
        if mutating is not None and mutating[0] == name:
            values[mutating[1]] = mutating[2]
        if name in values:
            return values[name]
        raise AttributeError(name)


def bind(value, target, attribute, seen=None):
    """Give hostile objects inside `value` their target and containers; True if any acts on the target."""
    seen = set() if seen is None else seen
    if id(value) in seen:
        return False
    seen.add(id(value))
    acts = False
    if isinstance(value, Hostile):
        value.target = target
        value.target_attribute = attribute
        acts = value.acts_on_target
    # Look inside through the base types only: the hostile hooks must not run here.
    if isinstance(value, list):
        for item in list.copy(value):
            if isinstance(item, ItemMutatesContainer):
                item.container = value
            acts = bind(item, target, attribute, seen) or acts
    elif isinstance(value, tuple):
        for i in range(tuple.__len__(value)):
            acts = bind(tuple.__getitem__(value, i), target, attribute, seen) or acts
    elif isinstance(value, (set, frozenset)):
        for item in frozenset.__iter__(frozenset(value)) if type(value) in (set, frozenset) else ():
            acts = bind(item, target, attribute, seen) or acts
    elif isinstance(value, GetItemSequence):
        for item in value.items:
            acts = bind(item, target, attribute, seen) or acts
    elif isinstance(value, SettingsLike):
        for item in value.__dict__["_values"].values():
            acts = bind(item, value, None, seen) or acts
    return acts


# ---------------------------------------------------------------------------
# Strategies
# ---------------------------------------------------------------------------

# Integers at the edges: small, the unsigned 64-bit limits, beyond, negative.
# No medium sizes, so that a run given them stays small or is refused at once.
EDGE_INTEGERS = st.one_of(
    st.integers(-3, 9),
    st.sampled_from([255, 256, 2**63 - 1, 2**63, U64_MAX, 2**64, 10**30, -1, -2**63, -2**64 - 1]),
)
FLOATS = st.one_of(
    st.sampled_from([0.0, -0.0, 0.5, 1.0, 1.5, -1.0, math.nan, -math.nan, math.inf, -math.inf,
                     1e308, -1e308, 5e-324, 2.0**64, 2.0**63]),
    st.floats(allow_nan=True, allow_infinity=True),
)


def _module_values():
    chromosome = og.Chromosome([0, 1, 2], 1.0)
    stats = og.FitnessStatistics(1, 1.0, 1.0, 1.0, 1.0, 0.0)
    hof = og.HallOfFame([chromosome], {(0, 1, 2)}, 2)
    return [chromosome, og.Population([chromosome], 1), stats, hof, og.Lineage([], [stats], hof),
            og.EvaluatorKinds.Value, og.EvaluatorKinds.FeedbackMarks, og.CrossoverKinds.Point,
            og.CrossoverKinds.Blend, og.SelectorKinds.Random, og.RecorderKinds.HdrHistogram,
            og.GeneratorKinds.RandomSequence, og.MutatorKinds.Swap, og.ConvergenceKinds.Never,
            og.CrossoverBlend(0.5), og.CrossoverSimulatedBinary(2.0), og.MutatorSwap(0.5),
            og.EvaluatorValue(1.0), og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, [0.0] * 9),
            og.RecorderHdrHistogram(3), make_settings(), og.SequencingSettings, og]


MODULE_VALUES = st.sampled_from(range(len(_module_values()))).map(lambda i: _module_values()[i])

SCALARS = st.one_of(
    st.none(), st.booleans(), EDGE_INTEGERS, FLOATS,
    st.text(max_size=4), st.binary(max_size=4), st.just(object()), st.just(Ellipsis),
    st.sampled_from([1j, complex(math.nan, 1.0)]), MODULE_VALUES,
)


def _hostile(children):
    numbers = st.one_of(EDGE_INTEGERS, FLOATS)
    return st.one_of(
        st.builds(RaisingIndex),
        st.builds(WrongIndex, st.sampled_from(["3", 2.5, None, [1]])),
        st.builds(RaisingFloat),
        st.builds(WrongFloat, st.sampled_from(["x", None, 3, [1.0]])),
        st.builds(Number, st.integers(0, 5)),
        st.builds(AssignsTarget, st.integers(0, 5), st.one_of(SCALARS, numbers), st.booleans()),
        st.builds(RaisingLength, st.lists(children, max_size=3)),
        st.builds(LyingLength, st.lists(children, max_size=3),
                  st.sampled_from([0, 2**62, sys.maxsize, 7])),
        st.builds(RaisingIter, st.lists(children, max_size=3)),
        st.builds(WrongIter, st.lists(children, max_size=3)),
        st.builds(ClearingIter, st.lists(children, max_size=3)),
        st.builds(GrowingIter, st.lists(children, min_size=1, max_size=3)),
        st.builds(ItemMutatesContainer, st.integers(0, 5),
                  st.sampled_from(["append", "clear", "replace"])),
        st.builds(GetItemSequence, st.lists(children, max_size=3),
                  st.one_of(st.none(), st.integers(0, 3))),
        st.builds(lambda items: {RaisingHashItemTuple(items)}, st.lists(st.integers(0, 3), max_size=3)),
        st.builds(lambda items: frozenset(map(tuple, items)),
                  st.lists(st.lists(st.integers(0, 3), max_size=3), max_size=3)),
    )


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.lists(st.integers(0, 5), max_size=6).map(lambda xs: [*xs, ItemMutatesContainer(1, "append")]),
        st.dictionaries(st.integers(0, 3), children, max_size=2),
        st.sets(st.tuples(st.integers(0, 3), st.integers(0, 3)), max_size=3),
        _hostile(children),
    )


VALUES = st.recursive(SCALARS, _containers, max_leaves=8)

# Gene-like and matrix-like lists, more often right than VALUES is.
GENE_LISTS = st.lists(st.one_of(st.integers(0, 5), VALUES), max_size=5)
FLOAT_LISTS = st.lists(st.one_of(FLOATS, VALUES), max_size=9)


def good_chromosome():
    return og.Chromosome([0, 1, 2], 1.0)


def good_stats():
    return og.FitnessStatistics(3, 1.0, 2.0, 4.5, 1.5, 0.25)


def good_hof():
    return og.HallOfFame([good_chromosome()], {(0, 1, 2)}, 2)


# Constructor -> [(parameter, required, good value maker, fitting strategy)].
CONSTRUCTORS = {
    og.Chromosome: [("genes", True, lambda: [0, 1, 2], GENE_LISTS),
                    ("fitness", False, lambda: 1.0, FLOATS)],
    og.Population: [("chromosomes", True, lambda: [good_chromosome()], st.lists(VALUES, max_size=3)),
                    ("generation", True, lambda: 1, EDGE_INTEGERS)],
    og.HallOfFame: [("chromosomes", True, lambda: [good_chromosome()], st.lists(VALUES, max_size=3)),
                    ("uniques", True, lambda: {(0, 1, 2)}, VALUES),
                    ("capacity", True, lambda: 2, EDGE_INTEGERS)],
    og.Lineage: [("generations", True, lambda: [og.Population([], 1)], st.lists(VALUES, max_size=3)),
                 ("records", True, lambda: [good_stats()], st.lists(VALUES, max_size=3)),
                 ("hall_of_fame", True, good_hof, VALUES),
                 ("n_generations", False, lambda: 4, EDGE_INTEGERS),
                 ("n_records", False, lambda: None, EDGE_INTEGERS)],
    og.FitnessStatistics: [("size", True, lambda: 1, EDGE_INTEGERS)]
    + [(name, True, lambda: 1.0, FLOATS) for name in ("min", "max", "sum", "mean", "variance")],
    og.RecorderHdrHistogram: [("sigfig", True, lambda: 3, EDGE_INTEGERS)],
    og.EvaluatorMatrix: [("kind", True, lambda: og.EvaluatorKinds.FeedbackMarks, VALUES),
                         ("matrix", True, lambda: [0.0] * 4, FLOAT_LISTS),
                         ("offset", False, lambda: None, EDGE_INTEGERS)],
    og.EvaluatorValue: [("value", True, lambda: 1.0, FLOATS)],
    og.CrossoverBlend: [("alpha", True, lambda: 0.5, FLOATS)],
    og.CrossoverSimulatedBinary: [("eta", True, lambda: 2.0, FLOATS)],
    og.MutatorSwap: [("p_swap", True, lambda: 0.1, FLOATS)],
    og.SequencingSettings: [("n_genes", True, lambda: 4, EDGE_INTEGERS),
                            ("p_crossover", True, lambda: 0.9, FLOATS),
                            ("p_mutation", True, lambda: 0.2, FLOATS),
                            ("n_chromosomes", False, lambda: 4, EDGE_INTEGERS),
                            ("n_generations", False, lambda: 2, EDGE_INTEGERS),
                            ("n_records", False, lambda: None, EDGE_INTEGERS),
                            ("n_hall_of_fame", False, lambda: None, EDGE_INTEGERS)],
    og.EvaluatorKinds: [], og.SelectorKinds: [], og.CrossoverKinds: [], og.ConvergenceKinds: [],
    og.RecorderKinds: [], og.GeneratorKinds: [], og.MutatorKinds: [],
}


# ---------------------------------------------------------------------------
# Checking one call
# ---------------------------------------------------------------------------

IMMUTABLE = (type(None), bool, int, float, complex, str, bytes, tuple, frozenset, type(Ellipsis))


def tracked(values):
    """The argument objects whose reference counts can be compared around a call."""
    out = []
    for v in values:
        if isinstance(v, IMMUTABLE) or isinstance(v, (type, types.ModuleType)) or type(v) is object:
            continue
        if type(v).__name__ in {"Chromosome", "Population", "FitnessStatistics", "HallOfFame",
                                "Lineage"} or isinstance(v, Hostile) or isinstance(v, (list, dict, set)):
            out.append(v)
    return out


def is_panic(error):
    return type(error).__name__ == "PanicException" and type(error).__module__ == "pyo3_runtime"


def call_checked(function, arguments=(), panic_allowed=False):
    """Call, and check the outcome; returns (succeeded, result)."""
    watched = tracked(arguments)
    counts = [sys.getrefcount(v) for v in watched]
    outcome = None
    try:
        result = function()
        outcome = (True, result)
    except UserError:
        outcome = (False, None)
    except DOCUMENTED as error:
        assert not isinstance(error, SystemError)
        message = str(error)
        # A failed allocation inside the interpreter may raise MemoryError
        # without a message; every other error says what went wrong.
        assert message or isinstance(error, MemoryError), repr(error)
        outcome = (False, None)
    except BaseException as error:  # noqa: B036 - the type itself is what is checked
        if not is_panic(error):
            raise
        assert panic_allowed, f"unexpected internal error: {error}"
        assert str(error)
        outcome = (False, None)
    after = [sys.getrefcount(v) for v in watched]
    # The result may legitimately hold no reference to an argument (all are
    # copied), so counts must match exactly.
    assert counts == after, [(type(v).__name__, b, a) for v, b, a in zip(watched, counts, after)]
    return outcome


def assert_interpreter_usable():
    s = make_settings(n_genes=4, n_chromosomes=4, n_generations=2)
    check_lineage(run(s), s, og.EvaluatorValue(1.0))


# ---------------------------------------------------------------------------
# Constructors
# ---------------------------------------------------------------------------


@FUZZ
@given(data=st.data())
def test_constructors_with_arbitrary_arguments(data):
    cls = data.draw(st.sampled_from(list(CONSTRUCTORS)), label="class")
    parameters = CONSTRUCTORS[cls]
    positional, keywords = [], {}
    as_keywords = False
    for name, required, good, fitting in parameters:
        choice = data.draw(st.sampled_from(["good", "fitting", "any", "omit"]), label=name)
        if choice == "omit" and not required:
            as_keywords = True  # later ones must then be keywords
            continue
        if choice == "good" or (choice == "omit" and required and data.draw(st.booleans())):
            value = good()
        elif choice == "fitting":
            value = data.draw(fitting, label=name)
        elif choice == "omit":
            continue  # a missing required argument
        else:
            value = data.draw(VALUES, label=name)
        bind(value, None, None)
        if as_keywords or data.draw(st.booleans(), label=f"{name} by keyword"):
            as_keywords = True
            keywords[name] = value
        else:
            positional.append(value)
    extra = data.draw(st.sampled_from(["none", "positional", "keyword", "duplicate"]), label="extra")
    if extra == "positional":
        positional.extend([1] * data.draw(st.integers(1, 3)))
    elif extra == "keyword":
        keywords["unknown"] = 1
    elif extra == "duplicate" and parameters and positional:
        keywords[parameters[0][0]] = positional[0]

    ok, result = call_checked(lambda: cls(*positional, **keywords),
                              positional + list(keywords.values()))
    if ok:
        assert type(result) is cls
        for attribute in dir(result):
            if not attribute.startswith("_") and attribute != "kinds":
                getattr(result, attribute)
    assert_interpreter_usable()


# ---------------------------------------------------------------------------
# Attribute setters
# ---------------------------------------------------------------------------

ATTRIBUTE_NAMES = [(type(obj).__name__, attr) for obj, attr in all_attributes()]


def canon(value):
    """A comparable picture of an attribute value (NaN equal to NaN, sets ordered)."""
    def walk(v):
        if isinstance(v, float) and math.isnan(v):
            return "nan"
        if isinstance(v, (list, tuple)):
            return tuple(walk(x) for x in v)
        if isinstance(v, frozenset):
            return ("set",) + tuple(sorted(repr(walk(x)) for x in v))
        return v
    return walk(snapshot(value))


def fresh_target(index):
    return all_attributes()[index]


@FUZZ
@given(data=st.data())
def test_attribute_setters_with_arbitrary_values(data):
    index = data.draw(st.integers(0, len(ATTRIBUTE_NAMES) - 1), label="attribute")
    obj, attr = fresh_target(index)
    before = canon(getattr(obj, attr))
    value = data.draw(st.one_of(VALUES, GENE_LISTS, FLOAT_LISTS, EDGE_INTEGERS, FLOATS), label="value")
    # a hostile value may assign this attribute or another one of the same object
    siblings = [a for name, a in ATTRIBUTE_NAMES if name == type(obj).__name__]
    acts = bind(value, obj, data.draw(st.sampled_from(siblings), label="attribute acted on"))

    delete = data.draw(st.integers(0, 9), label="delete") == 0
    if delete:
        ok, _ = call_checked(lambda: delattr(obj, attr), [])
        assert not ok
        assert canon(getattr(obj, attr)) == before
    else:
        ok, _ = call_checked(lambda: setattr(obj, attr, value), [value])
        if not ok and not acts:
            assert canon(getattr(obj, attr)) == before
    # every attribute still reads (no borrow left held), and reads twice alike
    for name, a in ATTRIBUTE_NAMES:
        if name == type(obj).__name__:
            assert canon(getattr(obj, a)) == canon(getattr(obj, a))
    assert_interpreter_usable()


def test_an_index_that_assigns_the_attribute_being_set():
    # The conversion runs before the assignment: the outer assignment wins.
    s = make_settings()
    evil = AssignsTarget(5, 9)
    bind(evil, s, "n_genes")
    s.n_genes = evil
    assert s.n_genes == 5
    c = og.Chromosome([0, 1])
    evil = [0, AssignsTarget(1, [7, 7, 7]), 2]
    bind(evil, c, "genes")
    c.genes = evil
    assert c.genes == [0, 1, 2]
    evil = AssignsTarget(2, [4])
    bind(evil, c, "fitness")
    c.fitness = evil
    assert c.fitness == 2.0


def test_containers_changed_while_converted():
    items = [0, 1, ItemMutatesContainer(2, "clear"), 3, 4]
    bind(items, None, None)
    assert og.Chromosome(items).genes == [0, 1, 2]
    items = [0, ItemMutatesContainer(1, "append")]
    bind(items, None, None)
    genes = og.Chromosome(items).genes
    assert genes[:2] == [0, 1] and set(genes[2:]) <= {1} and len(genes) <= 64
    assert og.Chromosome(ClearingIter([1, 2, 3])).genes == []
    assert og.Chromosome(GrowingIter([1, 2])).genes == [1, 2]
    with pytest.raises(UserError):
        og.Chromosome(RaisingIter([1]))
    with pytest.raises(TypeError):
        og.Chromosome(WrongIter([1]))
    with pytest.raises(UserError):
        og.HallOfFame([], {RaisingHashItemTuple((1, 2))}, 1)


# ---------------------------------------------------------------------------
# sequence_sga
# ---------------------------------------------------------------------------

SETTINGS_STRATEGIES = {
    "n_genes": st.one_of(st.integers(0, 6), EDGE_INTEGERS),
    "n_chromosomes": st.one_of(st.none(), st.integers(0, 6), EDGE_INTEGERS),
    "n_generations": st.one_of(st.none(), st.integers(0, 4), EDGE_INTEGERS),
    "n_records": st.one_of(st.none(), EDGE_INTEGERS),
    "n_hall_of_fame": st.one_of(st.none(), EDGE_INTEGERS),
    "p_crossover": FLOATS,
    "p_mutation": FLOATS,
}
SMALL_DEFAULTS = dict(n_genes=4, n_chromosomes=4, n_generations=2, n_records=None,
                      n_hall_of_fame=None, p_crossover=0.9, p_mutation=0.2)


@st.composite
def settings_arguments(draw):
    form = draw(st.sampled_from(["class", "namespace", "hostile", "any"]))
    if form == "any":
        return draw(VALUES)
    values = {}
    for name in SETTINGS_FIELDS:
        choice = draw(st.sampled_from(["default", "fitting", "any"]), label=name)
        if choice == "default":
            values[name] = SMALL_DEFAULTS[name]
        elif choice == "fitting":
            values[name] = draw(SETTINGS_STRATEGIES[name], label=name)
        else:
            values[name] = draw(VALUES, label=name)
    if form == "class":
        try:
            return og.SequencingSettings(**values)
        except (UserError,) + DOCUMENTED:
            return make_settings()
    if form == "namespace":
        return types.SimpleNamespace(**values)
    missing = draw(st.lists(st.sampled_from(SETTINGS_FIELDS), max_size=2, unique=True))
    raising = draw(st.lists(st.sampled_from(SETTINGS_FIELDS), max_size=1))
    mutating = draw(st.one_of(st.none(), st.tuples(st.sampled_from(SETTINGS_FIELDS),
                                                    st.sampled_from(SETTINGS_FIELDS), VALUES)))
    for name in missing:
        values.pop(name)
    return SettingsLike(values, raising, mutating)


OPERATOR_VALUES = {
    "generator": st.sampled_from([og.GeneratorKinds.RandomSequence]),
    "evaluator": st.one_of(
        st.builds(og.EvaluatorValue, FLOATS),
        st.builds(lambda kind, n: og.EvaluatorMatrix(kind, [float((i * 5) % 3 == 0) for i in range(n * n)]),
                  st.sampled_from([og.EvaluatorKinds.FeedbackMarks, og.EvaluatorKinds.FeedbackDistance,
                                   og.EvaluatorKinds.LowerLeftDistance]), st.integers(0, 6)),
    ),
    "recorder": st.sampled_from([og.RecorderKinds.FitnessStatistics]),
    "selector": st.sampled_from([og.SelectorKinds.Roulette, og.SelectorKinds.Random]),
    "crossover": st.one_of(st.sampled_from([og.CrossoverKinds.IPX, og.CrossoverKinds.Point]),
                           st.builds(og.CrossoverBlend, FLOATS),
                           st.builds(og.CrossoverSimulatedBinary, FLOATS)),
    "mutator": st.builds(og.MutatorSwap, FLOATS),
    "convergence": st.sampled_from([og.ConvergenceKinds.Never]),
}


@FUZZ
@given(data=st.data())
def test_sequence_sga_with_arbitrary_arguments(data):
    arguments = {"settings": data.draw(settings_arguments(), label="settings")}
    for name in SGA_PARAMETERS[1:]:
        if data.draw(st.integers(0, 3), label=f"{name} arbitrary") == 0:
            arguments[name] = data.draw(VALUES, label=name)
        else:
            arguments[name] = data.draw(OPERATOR_VALUES[name], label=name)
    settings_object = arguments["settings"]
    for value in arguments.values():
        bind(value, None, None)
    if isinstance(settings_object, (types.SimpleNamespace, SettingsLike)):
        # hostile field values may assign or delete another field while being read
        fields = (vars(settings_object) if isinstance(settings_object, types.SimpleNamespace)
                  else settings_object.__dict__["_values"])
        for value in list(fields.values()):
            bind(value, settings_object, data.draw(st.sampled_from(SETTINGS_FIELDS), label="field acted on"))
    by_keyword = data.draw(st.booleans(), label="by keyword")
    if by_keyword:
        call = lambda: og.sequence_sga(**arguments)  # noqa: E731
    else:
        call = lambda: og.sequence_sga(*(arguments[n] for n in SGA_PARAMETERS))  # noqa: E731
    ok, lineage = call_checked(call, list(arguments.values()), panic_allowed=True)
    if ok:
        assert type(lineage) is og.Lineage
        generations = [p.generation for p in lineage.generations]
        assert generations == sorted(generations, reverse=True)
        assert len(lineage.hall_of_fame.chromosomes) <= lineage.hall_of_fame.capacity
    assert_interpreter_usable()


# ---------------------------------------------------------------------------
# Whole runs
# ---------------------------------------------------------------------------


@st.composite
def run_configurations(draw):
    n_genes = draw(st.integers(0, 7), label="n_genes")
    s = make_settings(
        n_genes=n_genes,
        n_chromosomes=draw(st.sampled_from([None, 0, 1, 2, 3, 4, 5, 8]), label="n_chromosomes"),
        n_generations=draw(st.sampled_from([0, 1, 2, 3, 5]), label="n_generations"),
        n_records=draw(st.sampled_from([None, 0, 1, 2, 10]), label="n_records"),
        n_hall_of_fame=draw(st.sampled_from([None, 0, 1, 3, 50]), label="n_hall_of_fame"),
        p_crossover=draw(st.sampled_from([0.0, 0.5, 1.0, -0.5, 1.5, math.nan, math.inf]),
                         label="p_crossover"),
        p_mutation=draw(st.sampled_from([0.0, 0.3, 1.0, -1.0, 2.0, math.nan, -math.inf]),
                        label="p_mutation"),
    )
    crossover = draw(st.one_of(
        st.sampled_from([og.CrossoverKinds.IPX, og.CrossoverKinds.Point]),
        st.builds(og.CrossoverBlend, st.sampled_from([0.0, 0.1, 0.5, 1.0, -0.5, math.nan])),
        st.builds(og.CrossoverSimulatedBinary, st.sampled_from([0.0, 1.0, 2.0, 20.0, -1.0, math.nan])),
    ), label="crossover")
    if draw(st.booleans(), label="value evaluator"):
        evaluator = og.EvaluatorValue(draw(st.sampled_from([0.0, 1.0, -2.5, math.nan, math.inf]),
                                           label="value"))
    else:
        kind = draw(st.sampled_from([og.EvaluatorKinds.FeedbackMarks, og.EvaluatorKinds.FeedbackDistance,
                                     og.EvaluatorKinds.LowerLeftDistance]), label="kind")
        matrix = draw(st.lists(st.sampled_from([0.0, 1.0, 2.0, -1.0, math.nan]),
                               min_size=n_genes * n_genes, max_size=n_genes * n_genes), label="matrix")
        evaluator = og.EvaluatorMatrix(kind, matrix, draw(st.sampled_from([None, 0, 3, U64_MAX])))
    selector = draw(st.sampled_from([og.SelectorKinds.Roulette, og.SelectorKinds.Random]))
    p_swap = draw(st.sampled_from([0.0, 0.2, 1.0, -1.0, 3.0, math.nan]), label="p_swap")
    return s, crossover, evaluator, selector, p_swap


def internal_error_possible(s, crossover, p_swap, evaluator):
    """Whether the documented internal errors may end this run."""
    if s.n_genes == 0 and getattr(evaluator, "kind", None) in (og.EvaluatorKinds.FeedbackMarks,
                                                                og.EvaluatorKinds.FeedbackDistance):
        return True  # an empty order reached a feedback score
    if isinstance(crossover, (og.CrossoverBlend, og.CrossoverSimulatedBinary)):
        return True  # children out of range, or genes outside the matrix
    if crossover == og.CrossoverKinds.Point and s.n_genes < 3:
        return True
    return s.n_genes == 1 and p_swap > 0


@FUZZ
@given(config=run_configurations())
def test_whole_runs_keep_their_invariants(config):
    s, crossover, evaluator, selector, p_swap = config
    arguments = sga_arguments(s, crossover=crossover, evaluator=evaluator, selector=selector,
                              mutator=og.MutatorSwap(p_swap))
    try:
        lineage = og.sequence_sga(**arguments)
    except ValueError as error:
        assert s.n_chromosomes in (None, 1), error
        assert str(error).startswith("n_chromosomes ")
        return
    except BaseException as error:  # noqa: B036
        if not is_panic(error):
            raise
        assert internal_error_possible(s, crossover, p_swap, evaluator), str(error)
        assert str(error)
        assert_interpreter_usable()
        return
    assert s.n_chromosomes not in (None, 1)
    permutations = crossover == og.CrossoverKinds.IPX if isinstance(crossover, og.CrossoverKinds) else False
    check_lineage(lineage, s, evaluator, permutations=permutations)


def test_a_list_changed_while_it_is_converted_reads_like_its_iterator():
    # The conversion of a list reads it by index; what it sees must match
    # what iterating the list at the same moments would see.
    cells = [1.0, 2.0, 3.0]

    class Clears:
        def __float__(self):
            cells.clear()
            return 5.0

    cells.insert(1, Clears())
    assert og.EvaluatorMatrix(og.EvaluatorKinds.FeedbackMarks, cells, None).matrix == [1.0, 5.0]

    genes = [0, 1]

    class Grows:
        def __index__(self):
            genes.append(7)
            return 2

    genes.insert(1, Grows())
    assert og.Chromosome(genes).genes == [0, 2, 1, 7]
