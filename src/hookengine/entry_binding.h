// Binding the hook list's functions to HookEntries, beside the table they are bound in.
#pragma once

// Binds every unbound function of the apiTable, in name order, and writes the function
// listing. False at the first failure (no entry left, failed binding or failed write).
bool BindAndListApis();

// The text of the box shown when the hook list names more functions than there are
// HookEntries: HookEntry が不足しています。
constexpr char kEntriesExhausted[] =
    "HookEntry \x82\xaa\x95s\x91\xab\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B";
