"""Python host of the Zelvane.Trumik.XmlSigner component: late binding by name
through IDispatch, over the platform library with ctypes (see trumik.client)."""

__version__ = "1.4.0"
