// Nothing of its own: the target this file belongs to builds GoogleTest's header
// precompiled, once, for every test file of the build (cmake/quellix-tests.cmake).
