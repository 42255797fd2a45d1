// The whole client library in one include: the values (Types.h), the errors
// (Errors.h), the field encodings (Codec.h), and the clients of the registry
// (Registry.h) and of an executive (Executive.h). Link with
// `pkg-config --libs rticlient` or the CMake target RTIClient::rticlient.
#pragma once

#include "rticlient/Codec.h"
#include "rticlient/Errors.h"
#include "rticlient/Executive.h"
#include "rticlient/Registry.h"
#include "rticlient/Types.h"

#define RTICLIENT_VERSION_MAJOR 1
