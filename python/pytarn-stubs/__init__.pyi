# Type stubs for the pytarn extension module.
