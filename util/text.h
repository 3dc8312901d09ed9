// Text as a terminal shows it: width, lines broken at blanks, and lists in
// words. A leaf: used by the runner's command line and its outputs.
#pragma once

#include <string>
#include <vector>

// Characters shown, counting each UTF-8 sequence once.
int text_shown_width(const std::string& text);

// Text broken at blanks into lines of at most columns (0: no limit), each
// after the first indented by indent blanks; every line ends with a newline.
std::string text_wrap(const std::string& text, int columns, int indent);

// "a, b and c" (last: " and "), or with another last separator (" or ").
std::string text_list_join(const std::vector<std::string>& items, const char* last = " and ");
