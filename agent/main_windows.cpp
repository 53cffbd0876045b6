// vardokeep-agent.exe: the UTF-16 argument vector, unchanged and unexpanded.
#include "agent/run_control/agent_main.h"

// MinGW's runtime expands wildcards in argv unless told not to.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) { return agent_main(argc, reinterpret_cast<wchar16**>(argv)); }
