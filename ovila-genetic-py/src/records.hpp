// Conversions of the engine's own records that are no exposed class: the
// shared matrix cells and the set of gene sequences.
#pragma once

#include "ovila/binding/convert.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "ovila/genetic/lineage.hpp"

namespace ovila::binding {

// Matrix cells: converted like an array of floats, shared once converted.
template <>
struct Convert<genetic::SharedCells> {
    static genetic::SharedCells from(PyObject* object) {
        return genetic::SharedCells(Convert<std::vector<double>>::from(object));
    }
    static Ref to(const genetic::SharedCells& cells) { return to_list(cells.values()); }
};

// A set of gene sequences: read back as a set of tuples.
template <>
struct Convert<genetic::GenesSet> {
    static genetic::GenesSet from(PyObject* object);
    static Ref to(const genetic::GenesSet& values);
};

// The entries of a hall of fame: a list, best first (a template, so that it
// is compiled once Chromosome's class is known).
template <class Entries>
    requires std::is_same_v<Entries, genetic::HallEntries>
struct Convert<Entries> {
    static Entries from(PyObject* object) { return Entries(Convert<std::vector<genetic::Chromosome>>::from(object)); }
    static Ref to(const Entries& values) { return to_list(values); }
};

// The gene sequences of a hall of fame: a set of tuples, like GenesSet.
template <class Uniques>
    requires std::is_same_v<Uniques, genetic::HallUniques>
struct Convert<Uniques> {
    static Uniques from(PyObject* object) { return Uniques(Convert<genetic::GenesSet>::from(object)); }
    static Ref to(const Uniques& values) { return Convert<genetic::GenesSet>::to(values.to_set()); }
};

}  // namespace ovila::binding
