// The client's interactive chat driven through pipes: lines typed by one user reach another in
// the server's chat format, /me and /msg, joins and leaves, errors shown inside the chat, and
// the end of the session on /quit, on the end of the input and on a lost connection.
#include <gtest/gtest.h>

#include "client/client_fixture.h"

namespace kx {
namespace {

using test::ClientProcess;

class CliChat : public test::ClientFixture {
protected:
    std::vector<std::string> As(const std::string& name) {
        return {"--login", "admin", "--password-file", dir / "pw", "--name", name, host, "chat"};
    }
};

TEST_F(CliChat, TwoUsersTalkThroughPipes) {
    ClientProcess alice(As("alice"));
    ASSERT_TRUE(alice.WaitForOutput("* Connected. Type /me TEXT, /msg USER TEXT or /quit.\n")) << alice.Output();
    ClientProcess bob(As("bob"));
    ASSERT_TRUE(bob.WaitForOutput("* Connected.")) << bob.Output();
    EXPECT_TRUE(alice.WaitForOutput("* bob joined\n")) << alice.Output();

    ASSERT_TRUE(alice.Write("hello there\n"));
    // The server's chat line: the name right-aligned in 13 columns, a colon and two spaces.
    EXPECT_TRUE(bob.WaitForOutput("        alice:  hello there\n")) << bob.Output();
    EXPECT_TRUE(alice.WaitForOutput("        alice:  hello there\n")) << alice.Output();

    ASSERT_TRUE(bob.Write("/me waves\n"));
    EXPECT_TRUE(alice.WaitForOutput(" *** bob waves\n")) << alice.Output();

    ASSERT_TRUE(bob.Write("/msg alice just to you\n"));
    EXPECT_TRUE(alice.WaitForOutput("[msg from bob] just to you\n")) << alice.Output();
    ASSERT_TRUE(bob.Write("/msg nobody hi\n/msg\n/shout x\n//slash\n"));
    EXPECT_TRUE(bob.WaitForOutput("! No user named nobody is online.\n")) << bob.Output();
    EXPECT_TRUE(bob.WaitForOutput("! Usage: /msg USER TEXT\n")) << bob.Output();
    EXPECT_TRUE(bob.WaitForOutput("! Unknown command /shout (start the line with // to say it)\n")) << bob.Output();
    EXPECT_TRUE(alice.WaitForOutput("          bob:  /slash\n")) << alice.Output();

    ASSERT_TRUE(bob.Write("/quit\n"));
    EXPECT_EQ(bob.Wait(), 0);
    EXPECT_TRUE(alice.WaitForOutput("* bob left\n")) << alice.Output();
    // A message line never reaches the public chat.
    EXPECT_EQ(alice.Output().find("just to you", alice.Output().find("[msg from bob]") + 20), std::string::npos);

    // The end of the input ends the session as /quit does; the last line is still said.
    ASSERT_TRUE(alice.Write("bye"));
    alice.CloseInput();
    EXPECT_EQ(alice.Wait(), 0);
    EXPECT_TRUE(alice.WaitForOutput("        alice:  bye\n", 0)) << alice.Output();
}

TEST_F(CliChat, RefusalsAreShownAndTheServerGoingAwayEndsTheSession) {
    // An answer with an error to something typed is shown inside the chat.
    ClientProcess chat({"--login", "user", "--name", "u", host, "chat"});
    ASSERT_TRUE(chat.WaitForOutput("* Connected.")) << chat.Output();
    ASSERT_TRUE(chat.Write("/msg #999 hello\n"));
    EXPECT_TRUE(chat.WaitForOutput(
        "! Couldn't send your message because the client is not connected to this server.\n"))
        << chat.Output();
    server->Stop();
    EXPECT_EQ(chat.Wait(), 3);
    EXPECT_NE(chat.Output().find("kestrix: The connection to the server was lost.\n"), std::string::npos)
        << chat.Output();
}

}  // namespace
}  // namespace kx
