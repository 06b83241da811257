// The remainder of a division of doubles, exact, for the programs' link.
//
// The XML library's expression engine (which nothing here uses) is the only
// caller of the maths library's `fmod`; linking that one call to this
// function instead keeps the maths library out of every run (the programs
// link with --wrap=fmod and load only the C library).
#pragma once

// x - n*y for the whole n that truncates x/y: the sign of x, smaller than |y|,
// exact. NaN when x is infinite, y is zero or either is NaN; x when y is
// infinite and x is not. Unlike the C library it never sets errno.
double ExactRemainder(double x, double y);
