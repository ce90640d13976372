// Time texts: empty or exactly 19 characters ("YYYY-MM-DD hh:mm:ss"),
// compared byte-wise. The controller's clock is read by the bridge, which
// hands the text here; the checked time is part of the checked state.
#pragma once

#include <string>

std::string ConvertTimeString(std::string strText);
