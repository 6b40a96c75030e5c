#pragma once
// For the units that still include it: the work folder (core/work_folder.h) and the places the
// system names (core/system_places.h), which it held together before.

#include "core/system_places.h"
#include "core/work_folder.h"
