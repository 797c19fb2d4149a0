// The host's plug-in interface: include this one header.
#pragma once

#include "c4d_basecontainer.h"
#include "c4d_basedocument.h"
#include "c4d_baselist.h"
#include "c4d_basematerial.h"
#include "c4d_baseobject.h"
#include "c4d_baseselect.h"
#include "c4d_basetag.h"
#include "c4d_description.h"
#include "c4d_file.h"
#include "c4d_general.h"
#include "c4d_nodedata.h"
#include "c4d_plugin.h"
#include "c4d_string.h"
#include "c4d_tooldata.h"
#include "ge_math.h"
