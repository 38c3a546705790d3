// The subcommands of vedo-cli. Each takes the arguments after its own name, as engine text, and
// returns the process's exit status.
#pragma once

// Exit status for a command line that cannot be understood.
constexpr int EXIT_USAGE = 2;

int runInspect(int argc, char** argv);
int runMigrate(int argc, char** argv);

// What the migrate command prints before a run that ends the process (a stop, a fatal error)
// exits; returns the exit status to use.
int migrateExitStatus(int status);
