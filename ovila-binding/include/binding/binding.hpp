// The whole binding layer at once, for the units of an extension module.
#pragma once

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/guard.hpp"
#include "binding/instance.hpp"
#include "binding/kinds.hpp"
#include "binding/record_class.hpp"
#include "binding/reference.hpp"
