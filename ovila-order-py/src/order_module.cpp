// ovila_dsm._order: the ordering engine over graphs given as compressed rows
// of native int32 (`n`, `indptr`, `indices` as bytes; orders as bytes of
// int32, first item first), and the `Block` shared by the searches and the
// proof of one block of a sequencing.
//
// The engine's refusals of its input (order::InputError, a core::ConfigError)
// become ValueError in `guarded`, with the engine's message. Long work runs
// without the interpreter lock until its time limit, or until its block is
// stopped; it never takes the lock back on the way (the caller keeps the
// signals and the progress reports, on its own thread). Nothing that owns a
// Python reference lives across the unlocked stretch.
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "ovila/binding/binding.hpp"
#include "ovila/order/objective.hpp"
#include "ovila/order/order.hpp"
#include "ovila/order/search.hpp"

namespace ovila::order_py {

using namespace binding;

namespace {

using Clock = std::chrono::steady_clock;
using order::Graph;

std::int64_t int_argument(PyObject* object, const char* name) {
    if (!PyLong_Check(object)) {
        raise(PyExc_TypeError, argument_prefix(name) + "'" + type_name(object) + "' object is not an integer");
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

// The bytes of a bytes object as `count` values of T (count from its size).
template <class T>
std::vector<T> bytes_argument(PyObject* object, const char* name, const char* kind) {
    if (!PyBytes_Check(object)) {
        raise(PyExc_TypeError, argument_prefix(name) + "expected bytes of " + kind + ", got '" + type_name(object) + "'");
    }
    const Py_ssize_t size = PyBytes_Size(object);
    if (size % static_cast<Py_ssize_t>(sizeof(T)) != 0) {
        raise(PyExc_ValueError, argument_prefix(name) + "length " + std::to_string(size) + " is not a multiple of " +
                                    std::to_string(sizeof(T)) + " (" + kind + " values)");
    }
    std::vector<T> values(static_cast<std::size_t>(size) / sizeof(T));
    if (size > 0) std::memcpy(values.data(), PyBytes_AsString(object), static_cast<std::size_t>(size));
    return values;
}

std::vector<std::int32_t> int32_argument(PyObject* object, const char* name) {
    return bytes_argument<std::int32_t>(object, name, "native int32");
}

Ref bytes_of(const void* data, std::size_t size) {
    return Ref::owned(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

Ref bytes_of(const std::vector<std::int32_t>& values) { return bytes_of(values.data(), values.size() * 4); }

double seconds_argument(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return std::numeric_limits<double>::infinity();
    const double value = extract_named<double>(object, name);
    if (std::isnan(value) || value < 0) {
        raise(PyExc_ValueError, argument_prefix(name) + "must be a number of seconds >= 0, got " + str_of(object));
    }
    return value;
}

order::Objective objective_argument(PyObject* object) {
    if (object == nullptr || object == Py_None) return order::Objective::marks;
    if (!PyUnicode_Check(object)) {
        raise(PyExc_TypeError, argument_prefix("objective") + "'" + type_name(object) + "' object is not a str");
    }
    const std::string name = str_of(object);
    if (name == "marks") return order::Objective::marks;
    if (name == "weight") return order::Objective::weight;
    if (name == "distance") return order::Objective::distance;
    raise(PyExc_ValueError, "objective must be 'marks', 'weight' or 'distance', got '" + name + "'");
}

std::vector<std::int64_t> weights_argument(PyObject* object) {
    if (object == nullptr || object == Py_None) return {};
    return bytes_argument<std::int64_t>(object, "weights", "native int64");
}

std::int32_t items_argument(PyObject* object) {
    const std::int64_t n = int_argument(object, "n");
    if (n < 0 || n > std::numeric_limits<std::int32_t>::max() - 1) {
        raise(PyExc_ValueError, "n must be between 0 and 2**31 - 2, got " + std::to_string(n));
    }
    return static_cast<std::int32_t>(n);
}

Graph graph_argument(const Arguments& args, PyObject* weights = nullptr) {
    const std::int32_t n = items_argument(args.raw(0));
    const auto indptr = int32_argument(args.raw(1), "indptr");
    const auto indices = int32_argument(args.raw(2), "indices");
    const auto w = weights_argument(weights);
    return Graph::from_rows(n, indptr, indices, w);
}

std::vector<std::int32_t> order_argument(PyObject* object, const Graph& g) {
    auto order = int32_argument(object, "order");
    order::check_order(g.n, order);
    return order;
}

// The time limit of a call, as the poll the engine asks: false once it has
// passed, or once `stop` (when given) says so.
class Deadline {
public:
    explicit Deadline(double seconds) {
        if (seconds < 1e9) at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    bool passed() const { return at_ && Clock::now() >= *at_; }

private:
    std::optional<Clock::time_point> at_;
};

// Runs `work()` without the interpreter lock; failures are rethrown with it.
// A forced unwind (the interpreter ending this thread as it takes the lock
// back while it finalizes) passes through: nothing on the way owns a Python
// reference.
template <class F>
auto unlocked(F&& work) {
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<decltype(work())> result;
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// -- Block

// A Python Block holds the engine's block; the block is safe to use from
// several threads at once, so the object needs no borrow flag of its own.
struct BlockHandle {
    std::shared_ptr<order::Block> block;
};

std::shared_ptr<order::Block> block_of(PyObject* self) { return as_instance<BlockHandle>(self)->value.block; }

const Signature block_signature{"Block", "__new__", {"n", "indptr", "indices", "weights", "objective"}, 3};
BlockHandle build_block(const Arguments& a) {
    const order::Objective objective = objective_argument(a.raw(4));
    return {std::make_shared<order::Block>(graph_argument(a, a.raw(3)), objective)};
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The arguments of a call, turned into plain C++ values by `read` before
// anything runs without the lock (no Python reference outlives this).
template <class F>
auto parse(const Signature& signature, PyObject* args, PyObject* kwargs, F&& read) {
    Arguments a(signature, args, kwargs);
    return read(a);
}

PyObject* truth(bool value) { return Ref::borrowed(value ? Py_True : Py_False).release(); }

const Signature best_signature{"Block", "best", {}, 0};
PyObject* block_best(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        parse(best_signature, args, kwargs, [](const Arguments&) { return 0; });
        auto [order, cost] = block_of(self)->best();
        Ref o = bytes_of(order);
        return Py_BuildValue("(OL)", o.get(), static_cast<long long>(cost));
    });
}

const Signature offer_signature{"Block", "offer", {"order"}, 1};
PyObject* block_offer(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        auto order = parse(offer_signature, args, kwargs, [&](const Arguments& a) { return order_argument(a.raw(0), block->graph()); });
        return truth(unlocked([&] { return block->offer(std::move(order)); }));
    });
}

const Signature raise_bound_signature{"Block", "raise_bound", {"bound"}, 1};
PyObject* block_raise_bound(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const std::int64_t bound = parse(raise_bound_signature, args, kwargs, [](const Arguments& a) { return int_argument(a.raw(0), "bound"); });
        return truth(block_of(self)->raise_bound(bound));
    });
}

const Signature stop_signature{"Block", "stop", {}, 0};
PyObject* block_stop(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        parse(stop_signature, args, kwargs, [](const Arguments&) { return 0; });
        block_of(self)->stop();
        return Ref::borrowed(Py_None).release();
    });
}

const Signature arrays_signature{"Block", "arrays", {}, 0};
PyObject* block_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        parse(arrays_signature, args, kwargs, [](const Arguments&) { return 0; });
        auto block = block_of(self);
        const Graph& g = block->graph();
        Ref indptr = bytes_of(g.needs_ptr), indices = bytes_of(g.needs);
        return Py_BuildValue("(iOO)", static_cast<int>(g.n), indptr.get(), indices.get());
    });
}

const Signature feedback_marks_signature{"Block", "feedback_marks", {"order"}, 0};
PyObject* block_feedback_marks(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        auto order = parse(feedback_marks_signature, args, kwargs, [&](const Arguments& a) {
            return a.raw(0) == nullptr || a.raw(0) == Py_None ? std::vector<std::int32_t>{} : order_argument(a.raw(0), block->graph());
        });
        if (order.empty()) order = block->best().first;
        const Graph& g = block->graph();
        std::vector<std::int32_t> pos(static_cast<std::size_t>(g.n));
        for (std::size_t i = 0; i < order.size(); ++i) pos[static_cast<std::size_t>(order[i])] = static_cast<std::int32_t>(i);
        std::vector<std::uint8_t> back(g.needs.size());
        for (std::int32_t u = 0; u < g.n; ++u) {
            for (std::int32_t k = g.needs_ptr[u]; k < g.needs_ptr[u + 1]; ++k) {
                const auto v = static_cast<std::size_t>(g.needs[static_cast<std::size_t>(k)]);
                back[static_cast<std::size_t>(k)] = pos[static_cast<std::size_t>(u)] < pos[v];
            }
        }
        return bytes_of(back.data(), back.size()).release();
    });
}

const Signature greedy_block_signature{"Block", "greedy", {"time_limit"}, 0};
PyObject* block_greedy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const double seconds = parse(greedy_block_signature, args, kwargs, [](const Arguments& a) { return seconds_argument(a.raw(0), "time_limit"); });
        auto block = block_of(self);
        const Deadline deadline(seconds);
        return truth(unlocked([&] {
            auto order = order::greedy(block->graph(), [&](std::int64_t) { return !deadline.passed() && !block->stopped(); });
            return block->offer(std::move(order));
        }));
    });
}

const Signature exact_block_signature{"Block", "exact", {"time_limit", "tie_break"}, 0};
PyObject* block_exact(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        bool tie_break = false;
        const double seconds = parse(exact_block_signature, args, kwargs, [&](const Arguments& a) {
            if (a.raw(1) != nullptr) {
                const int truth_value = PyObject_IsTrue(a.raw(1));
                if (truth_value < 0) throw PythonError{};
                tie_break = truth_value != 0;
            }
            return seconds_argument(a.raw(0), "time_limit");
        });
        auto block = block_of(self);
        const bool by_score = tie_break || block->objective() != order::Objective::marks;
        const std::int32_t limit = by_score ? order::exact_by_limit : order::exact_limit;
        if (block->graph().n > limit) {
            raise(PyExc_ValueError, "exact search takes at most " + std::to_string(limit) + " items here, got " +
                                        std::to_string(block->graph().n));
        }
        const Deadline deadline(seconds);
        const auto poll = [&](std::int64_t) { return !deadline.passed() && !block->stopped(); };
        return truth(unlocked([&] {
            if (by_score) {
                auto found = order::exact_by(block->graph(), block->objective(), tie_break, poll);
                if (!found) return false;
                block->settle(std::move(found->order));
                block->raise_bound(found->score.objective);
                return true;
            }
            auto found = order::exact(block->graph(), poll);
            if (!found) return false;
            block->offer_counted(std::move(found->order), found->cost);
            block->raise_bound(found->cost);
            return true;
        }));
    });
}

const Signature cycle_bound_block_signature{"Block", "cycle_bound", {"time_limit"}, 0};
PyObject* block_cycle_bound(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const double seconds = parse(cycle_bound_block_signature, args, kwargs, [](const Arguments& a) { return seconds_argument(a.raw(0), "time_limit"); });
        auto block = block_of(self);
        const Deadline deadline(seconds);
        const std::int64_t bound = unlocked([&] {
            const std::int64_t found =
                order::cycle_bound(block->graph(), block->objective() == order::Objective::weight,
                                   [&](std::int64_t) { return !deadline.passed() && !block->stopped(); });
            block->raise_bound(found);
            return found;
        });
        return PyLong_FromLongLong(bound);
    });
}

const Signature improve_signature{
    "Block", "improve", {"seed", "time_limit", "max_stale", "adopt", "lead", "first_round", "start"}, 3};
PyObject* block_improve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        double seconds = 0;
        auto block = block_of(self);
        const order::ImproveOptions options = parse(improve_signature, args, kwargs, [&](const Arguments& a) {
            order::ImproveOptions o;
            o.seed = a.get<std::uint64_t>(0);
            seconds = seconds_argument(a.raw(1), "time_limit");
            o.max_stale = int_argument(a.raw(2), "max_stale");
            if (o.max_stale < 0) raise(PyExc_ValueError, "max_stale must be >= 0, got " + std::to_string(o.max_stale));
            for (auto [i, flag] : {std::pair{3, &o.adopt}, std::pair{4, &o.lead}}) {
                if (a.raw(i) == nullptr) continue;
                const int value = PyObject_IsTrue(a.raw(i));
                if (value < 0) throw PythonError{};
                *flag = value != 0;
            }
            if (a.raw(5) != nullptr) o.first_round = int_argument(a.raw(5), "first_round");
            if (a.raw(6) != nullptr && a.raw(6) != Py_None) o.start = order_argument(a.raw(6), block->graph());
            return o;
        });
        const Deadline deadline(seconds);
        bool timed_out = false;
        order::Improved result = unlocked([&] {
            return order::improve(*block, options, [&](std::int64_t) {
                timed_out = deadline.passed();
                return !timed_out;
            });
        });
        const char* why = result.ended == order::Ended::bound   ? "bound"
                          : result.ended == order::Ended::stale ? "stale"
                          : timed_out                           ? "time"
                                                                : "stopped";
        Ref reason = Ref::owned(PyUnicode_FromString(why)), o = bytes_of(result.order);
        return Py_BuildValue("(OLOL)", reason.get(), static_cast<long long>(result.rounds), o.get(),
                             static_cast<long long>(result.cost));
    });
}

const Signature lead_at_signature{"Block", "lead_at", {"round"}, 1};
PyObject* block_lead_at(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::int64_t round = parse(lead_at_signature, args, kwargs, [](const Arguments& a) { return int_argument(a.raw(0), "round"); });
        auto block = block_of(self);
        auto found = unlocked([&] { return block->lead_at(round); });
        if (!found) Py_RETURN_NONE;
        Ref o = bytes_of(found->first);
        return Py_BuildValue("(OL)", o.get(), static_cast<long long>(found->second));
    });
}

const Signature lead_end_signature{"Block", "lead_end", {}, 0};
PyObject* block_lead_end(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        parse(lead_end_signature, args, kwargs, [](const Arguments&) { return 0; });
        block_of(self)->lead_end();
        return Ref::borrowed(Py_None).release();
    });
}

const Signature settle_signature{"Block", "settle", {"order"}, 1};
PyObject* block_settle(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        auto order = parse(settle_signature, args, kwargs, [&](const Arguments& a) { return order_argument(a.raw(0), block->graph()); });
        return truth(unlocked([&] { return block->settle(std::move(order)); }));
    });
}

const Signature polished_signature{"Block", "polished", {"order", "time_limit"}, 1};
PyObject* block_polished(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        double seconds = 0;
        auto order = parse(polished_signature, args, kwargs, [&](const Arguments& a) {
            seconds = seconds_argument(a.raw(1), "time_limit");
            return order_argument(a.raw(0), block->graph());
        });
        const Deadline deadline(seconds);
        const bool finished = unlocked([&] {
            return order::polish(block->graph(), block->objective(), order, [&](std::int64_t) { return !deadline.passed() && !block->stopped(); });
        });
        Ref o = bytes_of(order);
        return Py_BuildValue("(OO)", o.get(), finished ? Py_True : Py_False);
    });
}

const Signature score_signature{"Block", "score", {"order"}, 1};
PyObject* block_score(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        auto order = parse(score_signature, args, kwargs, [&](const Arguments& a) { return order_argument(a.raw(0), block->graph()); });
        const order::Score score = order::score_of(block->graph(), order, block->objective());
        return Py_BuildValue("(LLLL)", static_cast<long long>(score.objective), static_cast<long long>(order::feedback(block->graph(), order)),
                             static_cast<long long>(order::total_weight(block->graph(), order)), static_cast<long long>(score.distance));
    });
}

const Signature weights_signature{"Block", "weights", {}, 0};
PyObject* block_weights(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        parse(weights_signature, args, kwargs, [](const Arguments&) { return 0; });
        auto block = block_of(self);
        const auto& w = block->graph().weight;
        return bytes_of(w.data(), w.size() * sizeof(std::int64_t)).release();
    });
}

// A list of cycles, each a list of mark numbers.
Ref cycle_list(const std::vector<order::Cycle>& cycles) {
    Ref out = Ref::owned(PyList_New(static_cast<Py_ssize_t>(cycles.size())));
    for (std::size_t i = 0; i < cycles.size(); ++i) {
        Ref cycle = Ref::owned(PyList_New(static_cast<Py_ssize_t>(cycles[i].size())));
        for (std::size_t j = 0; j < cycles[i].size(); ++j) {
            PyList_SetItem(cycle.get(), static_cast<Py_ssize_t>(j), Ref::owned(PyLong_FromLong(cycles[i][j])).release());
        }
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), cycle.release());
    }
    return out;
}

std::size_t limit_argument(PyObject* object) {
    const std::int64_t limit = int_argument(object, "limit");
    if (limit < 0) raise(PyExc_ValueError, "limit must be >= 0, got " + std::to_string(limit));
    return static_cast<std::size_t>(limit);
}

std::vector<std::uint8_t> kept_argument(PyObject* object, const Graph& g) {
    auto kept = bytes_argument<std::uint8_t>(object, "kept", "one byte per mark");
    if (kept.size() != g.needs.size()) {
        raise(PyExc_ValueError, "kept must hold one byte per mark (" + std::to_string(g.needs.size()) + "), got " +
                                    std::to_string(kept.size()));
    }
    return kept;
}

const Signature short_cycles_signature{"Block", "short_cycles", {"kept", "limit"}, 2};
PyObject* block_short_cycles(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        std::size_t limit = 0;
        const auto kept = parse(short_cycles_signature, args, kwargs, [&](const Arguments& a) {
            limit = limit_argument(a.raw(1));
            return kept_argument(a.raw(0), block->graph());
        });
        const auto cycles = unlocked([&] { return order::short_cycles(block->graph(), kept, limit); });
        return cycle_list(cycles).release();
    });
}

const Signature light_cycles_signature{"Block", "light_cycles", {"weight", "limit"}, 2};
PyObject* block_light_cycles(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        std::size_t limit = 0;
        const auto weight = parse(light_cycles_signature, args, kwargs, [&](const Arguments& a) {
            limit = limit_argument(a.raw(1));
            auto w = bytes_argument<double>(a.raw(0), "weight", "native float64");
            if (w.size() != block->graph().needs.size()) {
                raise(PyExc_ValueError, "weight must hold one value per mark (" + std::to_string(block->graph().needs.size()) +
                                            "), got " + std::to_string(w.size()));
            }
            return w;
        });
        const auto cycles = unlocked([&] { return order::light_cycles(block->graph(), weight, limit); });
        return cycle_list(cycles).release();
    });
}

const Signature keeping_signature{"Block", "keeping", {"kept"}, 1};
PyObject* block_keeping(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        const auto kept = parse(keeping_signature, args, kwargs, [&](const Arguments& a) { return kept_argument(a.raw(0), block->graph()); });
        const auto order = unlocked([&] { return order::order_keeping(block->graph(), kept, block->objective()); });
        return bytes_of(order).release();
    });
}

const Signature offer_keeping_signature{"Block", "offer_keeping", {"kept"}, 1};
PyObject* block_offer_keeping(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        auto block = block_of(self);
        const auto kept = parse(offer_keeping_signature, args, kwargs, [&](const Arguments& a) { return kept_argument(a.raw(0), block->graph()); });
        return truth(unlocked([&] { return block->offer(order::order_keeping(block->graph(), kept, block->objective())); }));
    });
}

template <std::int64_t (*Read)(const order::Block&)>
PyObject* block_number(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromLongLong(Read(*block_of(self))); });
}
std::int64_t read_n(const order::Block& b) { return b.graph().n; }
std::int64_t read_marks(const order::Block& b) { return b.graph().marks(); }
std::int64_t read_cost(const order::Block& b) { return b.cost(); }
std::int64_t read_bound(const order::Block& b) { return b.bound(); }
std::int64_t read_version(const order::Block& b) { return static_cast<std::int64_t>(b.version()); }

template <bool (*Read)(const order::Block&)>
PyObject* block_flag(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return Ref::borrowed(Read(*block_of(self)) ? Py_True : Py_False).release(); });
}
bool read_done(const order::Block& b) { return b.done(); }
bool read_stopped(const order::Block& b) { return b.stopped(); }

constexpr int call_flags = METH_VARARGS | METH_KEYWORDS;

// The class of a Block.
ClassSpec& block_class() {
    static ClassSpec spec = [] {
        ClassSpec s;
        s.name = "Block";
        s.signature = "(n, indptr, indices, weights=None, objective='marks')";
        s.doc =
            "One block of a sequencing, shared by the searches and the proof that work on it:\n"
            "its marks, the best order found (first the given order), its cost, the best\n"
            "lower bound proven and a stop flag. Safe to use from several threads; the long\n"
            "methods run without the interpreter lock until their time limit or until the\n"
            "block is stopped (or done: its best order meets its bound).";
        s.constructor = &construct<BlockHandle, block_signature, build_block>;
        s.basic_size = sizeof(Instance<BlockHandle>);
        s.dealloc = &dealloc_instance<BlockHandle>;
        s.attributes = {
            {"n", &block_number<read_n>, nullptr, "number of items", nullptr},
            {"marks", &block_number<read_marks>, nullptr, "number of marks (mark k: row k of the compressed rows)", nullptr},
            {"cost", &block_number<read_cost>, nullptr, "the objective of the best order (weights in the units given)", nullptr},
            {"bound", &block_number<read_bound>, nullptr, "best lower bound proven", nullptr},
            {"version", &block_number<read_version>, nullptr, "bumped by every new best order", nullptr},
            {"done", &block_flag<read_done>, nullptr, "stopped, or the best order meets the bound", nullptr},
            {"stopped", &block_flag<read_stopped>, nullptr, "stop() was called", nullptr},
        };
        s.methods = {
            {"best", method<block_best>(), call_flags, "best($self)\n--\n\n(order as int32 bytes, its cost)."},
            {"offer", method<block_offer>(), call_flags,
             "offer($self, order)\n--\n\nKeeps the order when it beats the best; True when kept."},
            {"raise_bound", method<block_raise_bound>(), call_flags,
             "raise_bound($self, bound)\n--\n\nKeeps the larger bound; True when it rose."},
            {"stop", method<block_stop>(), call_flags, "stop($self)\n--\n\nEnds every search of the block soon."},
            {"arrays", method<block_arrays>(), call_flags,
             "arrays($self)\n--\n\n(n, indptr, indices): the marks as int32 compressed rows."},
            {"feedback_marks", method<block_feedback_marks>(), call_flags,
             "feedback_marks($self, order=None)\n--\n\nOne byte per mark: 1 when `order` (default: the best) leaves it as a feedback mark."},
            {"keeping", method<block_keeping>(), call_flags,
             "keeping($self, kept)\n--\n\nThe order offer_keeping would offer, without offering it."},
            {"greedy", method<block_greedy>(), call_flags,
             "greedy($self, time_limit=None)\n--\n\nOffers the Eades-Lin-Smyth greedy order; True when kept."},
            {"exact", method<block_exact>(), call_flags,
             "exact($self, time_limit=None, tie_break=False)\n--\n\nAn optimal order by dynamic programming over subsets (at most 25\n"
             "items counting marks, else 22), given to the block with its bound; with\n"
             "tie_break, the one of least total distance, then fewest pairs out of index\n"
             "order. False when the time ran out."},
            {"cycle_bound", method<block_cycle_bound>(), call_flags,
             "cycle_bound($self, time_limit=None)\n--\n\nRaises the bound to the number of cycles of a greedy packing of\n"
             "cycles that share no mark (the packing so far at the time limit); returns it."},
            {"improve", method<block_improve>(), call_flags,
             "improve($self, seed, time_limit, max_stale, adopt=False, lead=False, first_round=0, start=None)\n--\n\n"
             "The strong search from `start` (default: the block's best order), its\n"
             "improvements given to the block. Returns (why, rounds, its best order, its\n"
             "cost); why it ended: 'bound' (its best meets the bound), 'stale' (max_stale\n"
             "rounds without a new best), 'time' or 'stopped'. adopt: take up better orders\n"
             "other parties give the block; lead: record its rounds (from first_round on)\n"
             "for lead_at."},
            {"lead_at", method<block_lead_at>(), call_flags,
             "lead_at($self, round)\n--\n\n(order, cost): the lead search's best as of `round`, waiting for it to\n"
             "get there (its last when it ended sooner); None when the block was stopped first."},
            {"lead_end", method<block_lead_end>(), call_flags, "lead_end($self)\n--\n\nThe lead search will not go on."},
            {"settle", method<block_settle>(), call_flags,
             "settle($self, order)\n--\n\nMakes `order` the block's order when it costs no more than the best."},
            {"polished", method<block_polished>(), call_flags,
             "polished($self, order, time_limit=None)\n--\n\n(order, finished): `order` moved while a move lowers its score (the\n"
             "objective, then the total distance, then pairs out of index order)."},
            {"score", method<block_score>(), call_flags,
             "score($self, order)\n--\n\n(objective, feedback marks, their total weight, their total distance) of `order`."},
            {"weights", method<block_weights>(), call_flags,
             "weights($self)\n--\n\nThe marks' weights as int64 bytes (empty when every mark weighs 1)."},
            {"short_cycles", method<block_short_cycles>(), call_flags,
             "short_cycles($self, kept, limit)\n--\n\nShortest cycles of the kept marks (kept: one byte per mark), each a\n"
             "list of mark numbers: one through every kept mark on such a cycle, at most limit."},
            {"light_cycles", method<block_light_cycles>(), call_flags,
             "light_cycles($self, weight, limit)\n--\n\nCycles whose marks' weights (float64 bytes, one per mark) sum to\n"
             "less than 1, at most limit."},
            {"offer_keeping", method<block_offer_keeping>(), call_flags,
             "offer_keeping($self, kept)\n--\n\nOffers an order that keeps the kept marks where it can (their blocks\n"
             "in order, then a descent); True when kept."},
        };
        return s;
    }();
    return spec;
}

}  // namespace

}  // namespace ovila::order_py

namespace ovila::binding {

template <>
struct ClassOf<order_py::BlockHandle> {
    static ClassSpec& spec() { return order_py::block_class(); }
};

}  // namespace ovila::binding

namespace ovila::order_py {

namespace {

// -- functions

const Signature condense_signature{nullptr, "condense", {"n", "indptr", "indices"}, 3};
PyObject* condense(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(condense_signature, args, kwargs);
        const Graph g = graph_argument(a);
        const auto blocks = order::condense(g);
        Ref block_of = bytes_of(blocks.block_of);
        return Py_BuildValue("(Oi)", block_of.get(), static_cast<int>(blocks.count));
    });
}

const Signature split_signature{nullptr, "split", {"n", "rows", "cols", "weights", "objective"}, 3};
PyObject* split(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        std::int32_t n = 0;
        std::vector<std::int32_t> rows, cols;
        std::vector<std::int64_t> weights;
        order::Objective objective = order::Objective::marks;
        {
            Arguments a(split_signature, args, kwargs);
            n = items_argument(a.raw(0));
            rows = int32_argument(a.raw(1), "rows");
            cols = int32_argument(a.raw(2), "cols");
            weights = weights_argument(a.raw(3));
            objective = objective_argument(a.raw(4));
        }
        auto parts = unlocked([&] { return order::split(Graph::from_pairs(n, rows, cols, weights)); });
        Ref items = bytes_of(parts.items), starts = bytes_of(parts.starts);
        Ref blocks = Ref::owned(PyList_New(static_cast<Py_ssize_t>(parts.graphs.size())));
        for (std::size_t i = 0; i < parts.graphs.size(); ++i) {
            auto& [k, graph] = parts.graphs[i];
            Ref block = make_instance<BlockHandle>(BlockHandle{std::make_shared<order::Block>(std::move(graph), objective)});
            PyList_SetItem(blocks.get(), static_cast<Py_ssize_t>(i), Py_BuildValue("(iO)", static_cast<int>(k), block.get()));
            if (PyErr_Occurred() != nullptr) throw PythonError{};
        }
        return Py_BuildValue("(OOO)", items.get(), starts.get(), blocks.get());
    });
}

const Signature compress_signature{nullptr, "compress", {"n", "rows", "cols"}, 3};
PyObject* compress(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        std::int32_t n = 0;
        std::vector<std::int32_t> rows, cols;
        {
            Arguments a(compress_signature, args, kwargs);
            n = items_argument(a.raw(0));
            rows = int32_argument(a.raw(1), "rows");
            cols = int32_argument(a.raw(2), "cols");
        }
        const Graph g = unlocked([&] { return Graph::from_pairs(n, rows, cols); });
        Ref indptr = bytes_of(g.needs_ptr), indices = bytes_of(g.needs);
        return Py_BuildValue("(OO)", indptr.get(), indices.get());
    });
}

const Signature feedback_signature{nullptr, "feedback", {"n", "indptr", "indices", "order"}, 4};
PyObject* feedback(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(feedback_signature, args, kwargs);
        const Graph g = graph_argument(a);
        const auto o = order_argument(a.raw(3), g);
        return PyLong_FromLongLong(order::feedback(g, o));
    });
}

const Signature greedy_signature{nullptr, "greedy", {"n", "indptr", "indices"}, 3};
PyObject* greedy(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(greedy_signature, args, kwargs);
        const Graph g = graph_argument(a);
        return bytes_of(order::greedy(g)).release();
    });
}

const Signature sift_signature{nullptr, "sift", {"n", "indptr", "indices", "order"}, 4};
PyObject* sift(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(sift_signature, args, kwargs);
        const Graph g = graph_argument(a);
        auto o = order_argument(a.raw(3), g);
        return bytes_of(order::sift(g, std::move(o))).release();
    });
}

PyMethodDef methods[] = {
    {"condense", method<condense>(), call_flags,
     "condense(n, indptr, indices)\n--\n\n"
     "Strongly connected blocks: (block_of as int32 bytes, number of blocks); a\n"
     "mark between two blocks goes from a higher block to a lower one."},
    {"split", method<split>(), call_flags,
     "split(n, rows, cols, weights=None, objective='marks')\n--\n\n"
     "The blocks of the graph of marks rows[k] needs cols[k] (int32 bytes; repeats and\n"
     "self-marks dropped), in the order a sequencing lists them: (items, starts,\n"
     "blocks) where block k holds items[starts[k]:starts[k + 1]] (int32 bytes) and\n"
     "blocks lists (k, Block) for every block of more than one item, its items\n"
     "renumbered in the order listed."},
    {"compress", method<compress>(), call_flags,
     "compress(n, rows, cols)\n--\n\n"
     "(indptr, indices): the marks rows[k] needs cols[k] (int32 bytes) as sorted int32\n"
     "compressed rows, repeats and self-marks dropped."},
    {"feedback", method<feedback>(), call_flags,
     "feedback(n, indptr, indices, order)\n--\n\nThe number of feedback marks of an order."},
    {"greedy", method<greedy>(), call_flags,
     "greedy(n, indptr, indices)\n--\n\nThe Eades-Lin-Smyth greedy order."},
    {"sift", method<sift>(), call_flags,
     "sift(n, indptr, indices, order)\n--\n\n"
     "Plain insertion local search: each item to its best position while a move helps."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ovila_dsm._order",
    "The ordering engine of ovila_dsm: blocks, greedy order, local search, exact\n"
    "search, lower bounds and cycles on graphs given as int32 compressed rows.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ovila::order_py

extern "C" PyMODINIT_FUNC PyInit__order(void) {
    using namespace ovila::order_py;
    return guarded<PyObject*>(nullptr, [] {
        Ref module = Ref::owned(PyModule_Create(&module_def));
        add_kernel_choice(module.get());
        add_class<BlockHandle>(module.get());
        return module.release();
    });
}
