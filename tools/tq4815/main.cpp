// tq4815: the command-line tool for the Tq4815 card, built only on the TAVLON library's
// exports (loaded at run time) and the Win32 message functions.
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "cli_docs.h"
#include "options.h"
#include "subcommands.h"

namespace {

// CLI11's messages, in the tool's words where a user reads them most: an unknown option
// or command is named as such.
std::string UsageMessage(const CLI::ParseError &error, const CLI::App &app)
{
    if (dynamic_cast<const CLI::ExtrasError *>(&error)) {
        std::vector<std::string> extras = app.remaining();
        for (const CLI::App *sub : app.get_subcommands())
            for (const std::string &word : sub->remaining())
                extras.push_back(word);
        if (!extras.empty()) {
            const std::string &first = extras.front();
            if (first.rfind("-", 0) == 0)
                return "unknown option " + first;
            if (app.get_subcommands().empty())
                return "unknown command '" + first + "'";
            return "unexpected argument '" + first + "'";
        }
    }
    if (dynamic_cast<const CLI::ExcludesError *>(&error)) {
        std::string text = error.what();
        auto at = text.find(" excludes ");
        if (at != std::string::npos)
            return "give " + text.substr(0, at) + " or " + text.substr(at + 10) + ", not both";
    }
    return error.what();
}

// The deepest subcommand parsed ("board di" → the "di" app), for messages and dispatch.
std::string CommandPath(const CLI::App &app)
{
    std::string path;
    const CLI::App *at = &app;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += (path.empty() ? "" : " ") + at->get_name();
    }
    return path;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"", "tq4815"};
    tool::CommandLine cl;
    tool::DeclareCommandLine(app, cl);
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp &help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion &version) {
        return app.exit(version);
    } catch (const CLI::ParseError &error) {
        std::string command = CommandPath(app);
        std::string name = command.empty() ? "tq4815" : "tq4815 " + command;
        std::fprintf(stderr, "%s: %s\n(%s --help shows the usage)\n", name.c_str(), UsageMessage(error, app).c_str(),
                     name.c_str());
        return 2;
    }
    if (cl.bashCompletion) {
        tool::WriteBashCompletion(app, std::cout);
        return 0;
    }
    if (cl.manPage) {
        tool::WriteManPage(app, std::cout);
        return 0;
    }
    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stderr);
        return 2;
    }
    std::string command = CommandPath(app);
    std::string first = app.get_subcommands().front()->get_name();
    try {
        if (first == "acquire")
            return tool::RunAcquire(cl.acquire);
        if (first == "snapshot")
            return tool::RunSnapshot(cl.snapshot);
        if (first == "info")
            return tool::RunInfo(cl.info);
        if (first == "eeprom")
            return tool::RunEeprom(cl.eeprom);
        if (first == "board")
            return tool::RunBoard(cl.board);
        if (first == "port")
            return tool::RunPort(cl.port);
        if (first == "host")
            return tool::RunHost(cl.host);
        return tool::RunSelftest(cl.selftest);
    } catch (const tool::UsageError &error) {
        std::fprintf(stderr, "tq4815 %s: %s\n(tq4815 %s --help shows the usage)\n", command.c_str(),
                     error.message.c_str(), first.c_str());
        return 2;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tq4815 %s: %s\n", command.c_str(), error.what());
        return 1;
    }
}
