// Symbol visibility for the host framework.
//
// The controller's framework classes live in the host process. A plug-in is
// built with hidden visibility, so every host declaration it references must
// be marked default, or the linker would expect the plug-in to define it.
#pragma once

#define QMX_HOST_API __attribute__((visibility("default")))
