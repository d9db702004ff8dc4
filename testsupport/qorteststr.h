// qorteststr.h: a counted view (or a string, through its view) as a
// std::string, for tests that compare what the library produced.
#pragma once
#include <string>
#include "core/buffers/qorstring.h"

inline std::string qor_test_str(const QORStringRefT<char>& s)
{
    return std::string(s.data(), static_cast<size_t>(s.length()));
}
