// The runner's resource identifiers (Runner.rc).
#define IDI_APP_ICON 101
