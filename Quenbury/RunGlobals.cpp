#include "Quenbury/RunGlobals.h"

std::string urlString;
std::string localFilePath;
std::string checksumArgument;
