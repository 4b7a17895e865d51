// Resource ids shared by the resource script and the code (context/ResourceIds.h has the C++ names).
#pragma once
#define IDI_PANEL 214
#define IDI_LOGIN 215
