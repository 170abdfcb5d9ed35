// The Win32 names this platform provides.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"
#include "shlwapi.h"
#include "oleauto.h"
#include "libloaderapi.h"
#include "objbase.h"
