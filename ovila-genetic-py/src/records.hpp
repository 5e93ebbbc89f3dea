// Conversions of the engine's own records that are no exposed class: the
// shared matrix cells and the set of gene sequences.
#pragma once

#include "binding/convert.hpp"
#include "evaluator.hpp"
#include "lineage.hpp"

namespace ovila::py {

// Matrix cells: converted like an array of floats, shared once converted.
template <>
struct Convert<SharedCells> {
    static SharedCells from(PyObject* object) { return SharedCells(Convert<std::vector<double>>::from(object)); }
    static Ref to(const SharedCells& cells) { return to_list(cells.values()); }
};

// A set of gene sequences: read back as a set of tuples.
template <>
struct Convert<GenesSet> {
    static GenesSet from(PyObject* object);
    static Ref to(const GenesSet& values);
};

// The entries of a hall of fame: a list, best first (a template, so that it
// is compiled once Chromosome's class is known).
template <class Entries>
    requires std::is_same_v<Entries, HallEntries>
struct Convert<Entries> {
    static HallEntries from(PyObject* object) { return HallEntries(Convert<std::vector<Chromosome>>::from(object)); }
    static Ref to(const HallEntries& values) { return to_list(values); }
};

// The gene sequences of a hall of fame: a set of tuples, like GenesSet.
template <class Uniques>
    requires std::is_same_v<Uniques, HallUniques>
struct Convert<Uniques> {
    static HallUniques from(PyObject* object) { return HallUniques(Convert<GenesSet>::from(object)); }
    static Ref to(const HallUniques& values) { return Convert<GenesSet>::to(values.to_set()); }
};

}  // namespace ovila::py
