"""The band-math part of the test reference, under the name some tests import it by."""
from reference import *  # noqa: F401,F403
from reference import DENOM_EPSILON, STACK_SLOTS, powf  # noqa: F401  (names star-imports skip or tools want spelled)
