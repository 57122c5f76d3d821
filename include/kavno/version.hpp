// kavno's version, written in this one place: CMake and the Python package's metadata read it from here, and a
// producer compiled against these headers knows which kavno it was built for.
#pragma once

#define KAVNO_VERSION_MAJOR 0
#define KAVNO_VERSION_MINOR 2
#define KAVNO_VERSION_PATCH 0
