#pragma once
#include "core/pxprogress.h"  // the record lives in core, shared by every layer
