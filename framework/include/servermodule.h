// The server framework's module: module base and records, the exe-server layer and the
// service layer, the service entry, registration and the command line. Each concern has its
// own header; this one gathers them.
#pragma once

#include "modulebase.h"
#include "exemodule.h"
#include "servicemodule.h"
#include "regkey.h"
#include "typelib.h"
#include "serviceinstall.h"
#include "serverregistration.h"
#include "commandline.h"
