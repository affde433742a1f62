// Binding the hook list's functions to HookEntries, beside the table they are bound in.
#pragma once

// Binds every unbound function of the apiTable, in name order, and writes the function
// listing. False at the first failure (no entry left, failed binding or failed write).
bool BindAndListApis();
