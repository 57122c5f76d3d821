// kavno's version, written in this one place: CMake and the Python package's metadata read it from here, and a
// producer compiled against these headers knows which kavno it was built for.
#pragma once

#define KAVNO_VERSION_MAJOR 0
#define KAVNO_VERSION_MINOR 2
#define KAVNO_VERSION_PATCH 0

// The layout of the record structures and their field tables (kavno/records.hpp). It changes whenever a field's
// place, kind or width changes, or a field is added or taken away; a producer built for one layout refuses to
// write records of a kavno with another.
#define KAVNO_RECORD_LAYOUT_VERSION 1
