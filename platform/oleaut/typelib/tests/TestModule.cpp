// A module with nothing but its resource table: two type libraries.
extern "C" __attribute__((visibility("default"))) int TypeLibTestModuleMarker()
{
    return 1;
}
