// The precompiled header of the tests is built with this file; the tests reuse it.
