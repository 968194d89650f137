/* The plug-in header as a C host sees it: it must compile as C11, and give the same sizes. */
#include "mervane_plugin.h"

size_t PluginHeaderDescriptorSizeInC(void) { return sizeof(ZelFunctionDescriptor); }
size_t PluginHeaderRecordSizeInC(void) { return sizeof(ZelHostInterface); }
