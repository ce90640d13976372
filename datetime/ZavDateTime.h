// Controller clock and the persisted checked time. Time texts are empty or
// exactly 19 characters ("YYYY-MM-DD hh:mm:ss"), compared byte-wise.
#pragma once

#include <string>

struct _object;
typedef _object PyObject;

std::string ConvertTimeString(std::string strText);
std::string GetCurrentDateTime(PyObject *pModule);
std::string GetCheckedTime();
int SetCheckedTime(std::string strText);
