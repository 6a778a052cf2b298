// IUnknown and IClassFactory. The host declares them with the rest of its COM subset.
#pragma once

#include "objbase.h"
