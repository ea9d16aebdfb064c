// velmario-server: answers directory lookups on TCP port 1007.
#include "commands.h"
#include "exitcodes.h"
#include "log.h"
#include "options.h"
#include "reloadstatus.h"
#include "serve.h"
#include "signals.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

using namespace velmario::server;

int main(int argc, char* argv[])
{
    handleSignalsBeforeServing();
    try {
        const CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        switch (line.command) {
        case CommandLine::Command::Serve: return serve(line.settings);
        case CommandLine::Command::Import: return runImport(line.csv, line.settings.db, line.allowEmpty);
        case CommandLine::Command::Export: return runExport(line.settings.db);
        case CommandLine::Command::Check: return runCheck(line.settings.db);
        case CommandLine::Command::Reload: return runReload(line.pid, line.settings.statusFile, line.reloadTimeout);
        case CommandLine::Command::Exit: break;
        }
        std::fputs(line.out.c_str(), stdout);
        writeToStderr(line.err, LogPriority::Error);
        return line.exitCode;
    } catch (const std::exception& e) {
        // Out of memory or a failure of the system's event machinery.
        stopLogWriter();
        log(std::string("fatal: ") + e.what(), LogPriority::Error);
        return kExitFailure;
    }
}
