// ovila_dsm._order: the ordering engine over graphs given as compressed rows
// of native int32 (`n`, `indptr`, `indices` as bytes; orders as bytes of
// int32, first item first). Long searches run without the interpreter lock
// and take it back every 50 ms to look for signals.
#include <cxxabi.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "binding/binding.hpp"
#include "order.hpp"

namespace ovila::py {

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

std::vector<std::int32_t> int32_argument(PyObject* object, const char* name) {
    if (!PyBytes_Check(object)) {
        raise(PyExc_TypeError,
              argument_prefix(name) + "expected bytes of native int32, got '" + type_name(object) + "'");
    }
    const Py_ssize_t size = PyBytes_Size(object);
    if (size % 4 != 0) {
        raise(PyExc_ValueError, argument_prefix(name) + "length " + std::to_string(size) +
                                    " is not a multiple of 4 (native int32 values)");
    }
    std::vector<std::int32_t> values(static_cast<std::size_t>(size / 4));
    if (size > 0) std::memcpy(values.data(), PyBytes_AsString(object), static_cast<std::size_t>(size));
    return values;
}

Ref bytes_of(const std::vector<std::int32_t>& values) {
    return Ref::owned(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                static_cast<Py_ssize_t>(values.size() * 4)));
}

double seconds_argument(PyObject* object, const char* name) {
    const double value = extract_named<double>(object, name);
    if (std::isnan(value) || value < 0) {
        raise(PyExc_ValueError, argument_prefix(name) + "must be a number of seconds >= 0, got " + str_of(object));
    }
    return value;
}

// Runs `body` on input errors of the engine as ValueError.
template <class F>
auto checked(F&& body) {
    try {
        return body();
    } catch (const order::InputError& error) {
        raise(PyExc_ValueError, error.what());
    }
}

Graph graph_argument(const Arguments& args) {
    const std::int64_t n = int_argument(args.raw(0), "n");
    if (n < 0 || n > std::numeric_limits<std::int32_t>::max() - 1) {
        raise(PyExc_ValueError, "n must be between 0 and 2**31 - 2, got " + std::to_string(n));
    }
    const auto indptr = int32_argument(args.raw(1), "indptr");
    const auto indices = int32_argument(args.raw(2), "indices");
    return checked([&] { return Graph::from_rows(static_cast<std::int32_t>(n), indptr, indices); });
}

std::vector<std::int32_t> order_argument(const Arguments& args, std::size_t i, const Graph& g) {
    auto order = int32_argument(args.raw(i), "order");
    checked([&] { order::check_order(g.n, order); });
    return order;
}

// The interpreter lock released for a search. `poll` is what the search
// calls: it ends the search at the deadline, and every 50 ms takes the lock
// back to run the signal handlers and (every 0.25 s) the progress callback.
class Unlocked {
public:
    Unlocked(double seconds, PyObject* progress) : progress_(progress) {
        const auto now = Clock::now();
        if (seconds < 1e9) deadline_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        next_check_ = now + check_every;
        next_report_ = now + report_every;
    }

    // Runs `search(poll)` without the lock; failures are rethrown with it.
    // (The forced unwind's catch binds no object, which the undefined-behaviour
    // sanitizer would report as a null reference.)
    template <class F>
    __attribute__((no_sanitize("undefined"))) auto run(F&& search) {
        state_ = PyEval_SaveThread();
        std::exception_ptr failure;
        std::optional<decltype(search(order::Poll{}))> result;
        try {
            result.emplace(search(order::Poll([this](std::int64_t best) { return poll(best); })));
        } catch (abi::__forced_unwind&) {
            throw;  // the interpreter ends this thread while taking the lock back
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state_);
        if (failure) std::rethrow_exception(failure);
        if (python_error_) throw PythonError{};
        return std::move(*result);
    }

    // A signal handler raised (the exception is pending).
    bool signalled() const { return signalled_; }
    bool timed_out() const { return timed_out_; }

private:
    static constexpr auto check_every = std::chrono::milliseconds(50);
    static constexpr auto report_every = std::chrono::milliseconds(250);

    bool poll(std::int64_t best) {
        if (signalled_ || python_error_) return false;
        const auto now = Clock::now();
        if (deadline_ && now >= *deadline_) {
            timed_out_ = true;
            return false;
        }
        if (now < next_check_) return true;
        next_check_ = now + check_every;
        bool go = true;
        PyEval_RestoreThread(state_);
        if (PyErr_CheckSignals() != 0) {
            signalled_ = true;
            go = false;
        } else if (progress_ != nullptr && best >= 0 && now >= next_report_) {
            next_report_ = now + report_every;
            PyObject* value = PyLong_FromLongLong(best);
            PyObject* result = value == nullptr ? nullptr : PyObject_CallFunctionObjArgs(progress_, value, nullptr);
            Py_XDECREF(value);
            // A true answer asks the search to end with the best order so far.
            const int stop = result == nullptr ? -1 : PyObject_IsTrue(result);
            if (stop != 0) {
                python_error_ = stop < 0;
                go = false;
            }
            Py_XDECREF(result);
        }
        state_ = PyEval_SaveThread();
        return go;
    }

    PyObject* progress_;
    PyThreadState* state_ = nullptr;
    std::optional<Clock::time_point> deadline_;
    Clock::time_point next_check_, next_report_;
    bool signalled_ = false, timed_out_ = false, python_error_ = false;
};

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

const Signature feedback_signature{nullptr, "feedback", {"n", "indptr", "indices", "order"}, 4};
PyObject* feedback(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(feedback_signature, args, kwargs);
        const Graph g = graph_argument(a);
        const auto o = order_argument(a, 3, g);
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
        auto o = order_argument(a, 3, g);
        return bytes_of(order::sift(g, std::move(o))).release();
    });
}

const Signature exact_signature{nullptr, "exact", {"n", "indptr", "indices", "time_limit"}, 4};
PyObject* exact(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments a(exact_signature, args, kwargs);
        const Graph g = graph_argument(a);
        const double seconds = seconds_argument(a.raw(3), "time_limit");
        if (g.n > order::exact_limit) {
            raise(PyExc_ValueError, "exact search takes at most " + std::to_string(order::exact_limit) +
                                        " items, got " + std::to_string(g.n));
        }
        Unlocked unlocked(seconds, nullptr);
        auto found = unlocked.run([&](const order::Poll& poll) { return order::exact(g, poll); });
        if (unlocked.signalled()) throw PythonError{};
        if (!found) Py_RETURN_NONE;
        Ref o = bytes_of(found->order);
        return Py_BuildValue("(OL)", o.get(), static_cast<long long>(found->cost));
    });
}

const Signature cycle_bound_signature{nullptr, "cycle_bound", {"n", "indptr", "indices", "time_limit"}, 3};
PyObject* cycle_bound(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(cycle_bound_signature, args, kwargs);
        const Graph g = graph_argument(a);
        const double seconds = a.raw(3) == nullptr || a.raw(3) == Py_None
                                   ? std::numeric_limits<double>::infinity()
                                   : seconds_argument(a.raw(3), "time_limit");
        Unlocked unlocked(seconds, nullptr);
        const auto bound = unlocked.run([&](const order::Poll& poll) { return order::cycle_bound(g, poll); });
        if (unlocked.signalled()) throw PythonError{};
        return PyLong_FromLongLong(bound);
    });
}

const Signature improve_signature{nullptr,
                                  "improve",
                                  {"n", "indptr", "indices", "order", "seed", "time_limit", "lower_bound",
                                   "max_stale", "progress"},
                                  8};
PyObject* improve(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments a(improve_signature, args, kwargs);
        const Graph g = graph_argument(a);
        auto start = order_argument(a, 3, g);
        order::ImproveOptions options;
        options.seed = a.get<std::uint64_t>(4);
        const double seconds = seconds_argument(a.raw(5), "time_limit");
        options.lower_bound = int_argument(a.raw(6), "lower_bound");
        options.max_stale = int_argument(a.raw(7), "max_stale");
        if (options.max_stale < 0) {
            raise(PyExc_ValueError, "max_stale must be >= 0, got " + std::to_string(options.max_stale));
        }
        PyObject* progress = a.raw(8);
        if (progress == Py_None) progress = nullptr;
        if (progress != nullptr && PyCallable_Check(progress) == 0) {
            raise(PyExc_TypeError, "argument 'progress': '" + type_name(progress) + "' object is not callable");
        }
        Unlocked unlocked(seconds, progress);
        auto result = unlocked.run([&](const order::Poll& poll) {
            return order::improve(g, std::move(start), options, poll);
        });
        if (unlocked.signalled()) PyErr_Clear();  // the caller keeps the best order and re-raises
        Ref o = bytes_of(result.order);
        return Py_BuildValue("(OLO)", o.get(), static_cast<long long>(result.cost),
                             unlocked.signalled() ? Py_True : Py_False);
    });
}

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"condense", method<condense>(), METH_VARARGS | METH_KEYWORDS,
     "condense(n, indptr, indices)\n--\n\n"
     "Strongly connected blocks: (block_of as int32 bytes, number of blocks); a\n"
     "mark between two blocks goes from a higher block to a lower one."},
    {"feedback", method<feedback>(), METH_VARARGS | METH_KEYWORDS,
     "feedback(n, indptr, indices, order)\n--\n\nThe number of feedback marks of an order."},
    {"greedy", method<greedy>(), METH_VARARGS | METH_KEYWORDS,
     "greedy(n, indptr, indices)\n--\n\nThe Eades-Lin-Smyth greedy order."},
    {"sift", method<sift>(), METH_VARARGS | METH_KEYWORDS,
     "sift(n, indptr, indices, order)\n--\n\n"
     "Plain insertion local search: each item to its best position while a move helps."},
    {"exact", method<exact>(), METH_VARARGS | METH_KEYWORDS,
     "exact(n, indptr, indices, time_limit)\n--\n\n"
     "An optimal order and its cost by dynamic programming over subsets (at most 25\n"
     "items), or None when the time limit ran out."},
    {"cycle_bound", method<cycle_bound>(), METH_VARARGS | METH_KEYWORDS,
     "cycle_bound(n, indptr, indices, time_limit=None)\n--\n\n"
     "A lower bound on the feedback marks of every order: the number of cycles of a\n"
     "greedy packing of cycles that share no mark (the packing so far when the time\n"
     "limit runs out)."},
    {"improve", method<improve>(), METH_VARARGS | METH_KEYWORDS,
     "improve(n, indptr, indices, order, seed, time_limit, lower_bound, max_stale, progress=None)\n--\n\n"
     "Search from `order` for fewer feedback marks: (best order, its cost, interrupted).\n"
     "Ends at lower_bound, after max_stale rounds without a new best, or at the time\n"
     "limit. interrupted is True when a signal handler raised (the exception is\n"
     "cleared; the caller re-raises). progress(best_cost) is called at most every\n"
     "0.25 s; when it returns a true value the search ends with the best order so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ovila_dsm._order",
    "The ordering engine of ovila_dsm: blocks, greedy order, local search, exact\n"
    "search and lower bounds on graphs given as int32 compressed rows.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ovila::py

extern "C" PyMODINIT_FUNC PyInit__order(void) {
    return ovila::py::guarded<PyObject*>(nullptr, [] {
        return ovila::py::Ref::owned(PyModule_Create(&ovila::py::module_def)).release();
    });
}
