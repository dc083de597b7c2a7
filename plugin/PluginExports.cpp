// The library's exported entry points. The plug-in object arrives with its own commit; until
// then the library carries the internals only.
