// Every public header of libbtrkit.
#pragma once

#include "platform/codepage.h"
#include "platform/component.h"
#include "platform/dynlib.h"
#include "platform/endian.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/klstrings.h"
#include "platform/messages.h"
#include "platform/streams.h"
#include "platform/threads.h"
#include "platform/ui.h"
