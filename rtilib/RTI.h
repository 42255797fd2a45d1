// Everything the servers and clients use from the RTI library.
#pragma once

#include "Coding.h"
#include "FrameReader.h"
#include "MsgType.h"
#include "Platform.h"
#include "RTIexceptions.h"
#include "RTImessageStream.h"
#include "RTIreactor.h"
#include "References.h"
