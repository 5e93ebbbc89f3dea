// The whole binding layer at once, for the units of an extension module. An
// extension keeps its code in a namespace of its own and specialises the
// binding's traits (ClassOf, KindTable, Convert) for its records here, in
// ovila::binding.
#pragma once

#include "ovila/binding/arguments.hpp"
#include "ovila/binding/convert.hpp"
#include "ovila/binding/errors.hpp"
#include "ovila/binding/guard.hpp"
#include "ovila/binding/instance.hpp"
#include "ovila/binding/kinds.hpp"
#include "ovila/binding/record_class.hpp"
#include "ovila/binding/reference.hpp"
