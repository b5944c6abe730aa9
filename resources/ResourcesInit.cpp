// The resources are compiled into an object library that Qt links into every consumer;
// this file only gives the static library a translation unit of its own.
namespace kalvenor { int resourcesLinked() { return 1; } }
