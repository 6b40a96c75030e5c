#pragma once
// What an action throws, for the tests that compare a failure's message: the message of the
// std::runtime_error it throws, or "<no exception>" when it throws none. Any other exception
// goes on to the test, which then fails.

#include <stdexcept>
#include <string>

namespace qv::test {

template <typename Action> std::string failureOf(Action&& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

} // namespace qv::test
