// The platform layer's sockets.
#include "platform_network.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// A socket closed by hand is closed once: at its end it does not close the
// socket that the system gave the same number since.
TEST(UdpSocket, IsClosedOnceWhicheverSocketGetsItsNumberNext)
{
    ASSERT_TRUE(socket_layer_start());
    Error error;
    std::optional<Udp_socket> first(std::in_place);
    ASSERT_TRUE(first->open(error)) << error.text;
    first->close();
    Udp_socket second;
    ASSERT_TRUE(second.open(error)) << error.text;
    first.reset();
    EXPECT_TRUE(second.bind(0, error)) << error.text;
}

} // namespace
