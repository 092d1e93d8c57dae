// Table rows name themselves: in test names, and in place of a byte dump when
// gtest prints a parameter.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace quelt_test
{

template <class T> auto operator<<(std::ostream &os, const T &row) -> decltype(os << row.name)
{
    return os << row.name;
}

struct CaseName {
    template <class T> std::string operator()(const testing::TestParamInfo<T> &info) const
    {
        return info.param.name;
    }
};

}  // namespace quelt_test
