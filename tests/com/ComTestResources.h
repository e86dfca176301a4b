#pragma once
// Resources of the com test program.
#define IDR_MODULE_TEST_SCRIPT 201  // REGISTRY: the test class's registration (ModuleTest.rgs)
