// Boost.JSON runs header-only: this is the one translation unit that compiles its sources.
#include <boost/json/src.hpp>
