// The frame: everything a module is written with.  See docs/ARCHITECTURE.md.
#pragma once
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "native_type.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "statements.hpp"
