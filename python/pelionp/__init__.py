"""Client of the pelionp acquisition service (``pelionp serve``).

>>> import pelionp
>>> c = pelionp.Client("http://127.0.0.1:8765")
>>> c.status()["state"]
'idle'
"""

from .client import Block, Client, SamplesGone, SamplesNotYet, ServiceError

__all__ = ["Block", "Client", "SamplesGone", "SamplesNotYet", "ServiceError"]
__version__ = "0.1.0"
