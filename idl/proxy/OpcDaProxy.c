/* NDR proxies and stubs of the OPC DA 2.0 interfaces (widl output, [out] string and [in] array parameters corrected). */
#include "ProxyDecls.h"
#include "opcda_p.c"
