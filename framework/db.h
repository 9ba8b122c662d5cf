// The data-access framework in one include: datasets, fields, data sources
// and links, variants, dates and times, database errors.
#pragma once

#include "framework/dataset.h"
#include "framework/datetime.h"
#include "framework/dberrors.h"
#include "framework/fields.h"
#include "framework/variant.h"
