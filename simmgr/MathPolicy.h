#ifndef MATH_POLICY_H
#define MATH_POLICY_H

#include <boost/math/policies/policy.hpp>

// Boost.Math reports domain and evaluation problems by throwing unless told
// otherwise. simmgr checks the arguments before every call and turns
// anything left into a value instead, so its distributions use this policy.
using MathNoThrow = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>>;

#endif  // MATH_POLICY_H
