#pragma once
// The core unit: bitmap container, settings and shared helpers.
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/kopxutils_containers.h"
#include "core/kopxutils_draw.h"
#include "core/kopxutils_geometry.h"
#include "core/kopxutils_words.h"
