#pragma once
// What each layer's shared library exports: the classes, functions and
// variables its headers declare. The libraries are built with hidden
// visibility, so everything else (helpers in the sources) stays inside.
// One macro per library (a layer's widget part has its own); on ELF exporting and importing are the same mark.
#define PIXORAN_EXPORT_MARK __attribute__((visibility("default")))
#define PIXORAN_PLATFORM_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_PLATFORM_WIDGETS_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_CORE_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_CORE_VIEW_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_IO_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_PROC_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_VIEW_EXPORT PIXORAN_EXPORT_MARK
#define PIXORAN_DIALOGS_EXPORT PIXORAN_EXPORT_MARK
