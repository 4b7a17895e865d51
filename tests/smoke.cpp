#include <gtest/gtest.h>
#include <boost/asio.hpp>
#include <windows.h>
TEST(Harness, Runs) { boost::asio::io_context io; EXPECT_NE(GetCurrentProcessId(), 0u); }
