// The run script: a whole program run driven from the environment, for tests
// and scripted runs. It sits above the window layer (platform/ui: hot keys,
// dialogs) and the programs layer (platform/apps: who plays audio), and
// installs itself into the dialogs' modal loop when the library loads, so
// every program that runs a dialog runs the script.
//
// Script (environment QEL_SCRIPT, read when a modal loop starts with no
// script running yet; one script per process): commands separated by ';',
// each "<ms> hotkey <keys>", "<ms> click <control>" or "<ms> render
// <pid>,<pid>..." (the processes that play audio), the time counted from the
// start of the loop. A click goes to the latest live dialog that has the
// control. The script's thread is joined when the process ends.
//
// Thread safety: may be called from any thread.
#pragma once

namespace platform::script {

// Starts the commands of QEL_SCRIPT on the script's own thread, unless the
// variable is unset or a script was started before in this process.
void StartFromEnvironment();

}  // namespace platform::script
