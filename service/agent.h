// Launching the agent. Agents are recognised by file name alone; no handle or id is kept.
#pragma once

#include <windows.h>

// The agent's folder, with its trailing backslash. Fixed at build time.
#define AGENT_DIRECTORY "C:\\pellard\\bin\\"
extern const char g_agentDirectory[sizeof(AGENT_DIRECTORY)];

// The agent's file name, as launched and as compared with process entries.
#define AGENT_FILE_NAME "pellard.exe"

// Launches one agent without arguments or window; TRUE when the process was created.
BOOL StartAgent();
