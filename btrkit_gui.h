// Every public header of libbtrkit_gui.
#pragma once

#include "gui/bitmaps.h"
#include "gui/buttons.h"
#include "gui/controls.h"
#include "gui/datasetmodel.h"
#include "gui/grids.h"
#include "gui/keys.h"
#include "gui/qthandlers.h"
#include "tools/dictgrid.h"
