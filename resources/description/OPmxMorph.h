#ifndef _OPMXMORPH_H_
#define _OPMXMORPH_H_

enum
{
  PMXMORPH_STRENGTH_GROUP = 802,
  PMXMORPH_ADD_TARGET = 1010,
  PMXMORPH_BAKE_MIX = 1011,

  // Set at run time rather than declared in the description: the number of collected
  // children (base included), the strength of target k (2000 + k) and the link to collected
  // child i (3000 + i, 0: the base).
  PMXMORPH_COUNT = 1900,
  PMXMORPH_STRENGTH = 2000,
  PMXMORPH_LINK = 3000,

  _OPMXMORPH_DUMMY_
};

#endif
