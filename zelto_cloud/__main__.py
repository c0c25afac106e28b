"""``python -m zelto_cloud doctor``: explain and check the ZELTO_ environment."""

import sys

from zelto_cloud.doctor import main

sys.exit(main())
