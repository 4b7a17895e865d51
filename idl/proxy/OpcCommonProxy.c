/* NDR proxies and stubs of the OPC Common interfaces (widl output, string parameters corrected). */
#include "ProxyDecls.h"
#include "opccomn_p.c"
