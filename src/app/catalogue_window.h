#pragma once

// The "Add Lightshow" window lives with the search view it shows.
#include "app/movies_search_view.h"
