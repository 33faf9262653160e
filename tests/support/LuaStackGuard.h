// LuaStackGuard.h: checks that a piece of code leaves a Lua stack as high as it promised.
#pragma once

#include <gtest/gtest.h>
#include <lua.hpp>

namespace Database::Testing {

// Fails the test when, at the end of its scope, the stack is not `growth` values higher than it was
// at its start.
class LuaStackGuard {
public:
    explicit LuaStackGuard(lua_State* state, int growth = 0) : m_state(state), m_top(lua_gettop(state)), m_growth(growth) {}
    ~LuaStackGuard() { EXPECT_EQ(lua_gettop(m_state), m_top + m_growth) << "the Lua stack is out of balance"; }
    LuaStackGuard(const LuaStackGuard&) = delete;
    LuaStackGuard& operator=(const LuaStackGuard&) = delete;

private:
    lua_State* m_state;
    int m_top;
    int m_growth;
};

}  // namespace Database::Testing
