// The event identifiers of the message file registered for the service's event source
// (packaging/tollivarmsg.mc, compiled by windmc into tollivarmsg.dll). Event Viewer shows the
// low 16 bits as the Event ID; the top bits carry the message's severity and must be reported
// too, or the description is not found. The packaging build compares each constant with the
// header windmc writes, so the two cannot drift apart.
#pragma once

#include <windows.h>

// Information, one string: the entry's own text. Every entry the service host logs of its life.
constexpr DWORD kEventText = 0x00000000;
// Warning, two strings: the agent's launch path, why it is not trusted.
constexpr DWORD kEventUntrustedAgent = 0x80000001;
// Error, two strings: the caption and the text of a message box nobody could see.
constexpr DWORD kEventMessageBox = 0xC0000002;
// Error, one string: why the process ended abnormally.
constexpr DWORD kEventCrash = 0xC0000003;
