// DA 1.0 completions that arrive before the call that started them returns, as many real
// servers send them: the DA 1.0 personality is served through thin wrappers of the toolkit's
// server and group objects whose IOPCAsyncIO Read, Write and Refresh run the toolkit's queued
// completions (which call the client's IAdviseSink) before they return the transaction ID.
// Everything else is passed through unchanged.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <opc_toolkit/ServerToolkit.h>

namespace opc_sim {

// A class factory (one reference, the caller's) whose objects are the wrapped server.
IClassFactory* CreateEarlyCompletionFactory(opc_toolkit::IServerToolkit& toolkit);

// Runs the toolkit's queued asynchronous work of this thread now.
void RunPendingCompletions();

}  // namespace opc_sim
