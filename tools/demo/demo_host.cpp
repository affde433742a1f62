#include <windows.h>
#include <cstdio>
extern "C" int WINAPI QelSetUp_(const char*, const char*, char*, int);
int main() { char m[100]; printf("%d\n", QelSetUp_("", "", m, sizeof m)); }
