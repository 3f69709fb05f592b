// Names a parameterised test after the `name` field of its table row.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct case_name {
    template <class Row>
    std::string operator()(const testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};
