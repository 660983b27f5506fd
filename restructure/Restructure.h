// The table-restructuring component TRestructure with its field and validity-check descriptors.
#pragma once
