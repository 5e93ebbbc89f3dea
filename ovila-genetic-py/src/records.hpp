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

}  // namespace ovila::py
