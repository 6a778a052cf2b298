// Launching the agent. Agents are recognised by file name alone; no handle or id is kept.
#pragma once

#include <windows.h>

// The agent's folder, with its trailing backslash, in plain ASCII. Fixed at build time; a
// constant, so it is ready before any constructor runs.
extern const char g_agentDirectory[];

// The agent's file name, as launched and as compared with process entries.
#define AGENT_FILE_NAME "pellard.exe"

// Launches one agent without arguments or window; TRUE when the process was created.
BOOL StartAgent();
