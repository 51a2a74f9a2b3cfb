// The table access layer in one include.
#pragma once

#include "xds/xce_calls.h"
#include "xds/xdscnnct.h"
#include "xds/xdsdata.h"
#include "xds/xdserror.h"
#include "xds/xdsset.h"
#include "xds/xdstable.h"
