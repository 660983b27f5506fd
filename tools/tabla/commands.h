// The subcommands of `tabla`. Each takes the arguments after its name and returns the exit code.
#pragma once

int CmdRestructure(int argc, char** argv);
