pytest_plugins = ["velquoraorn.testing"]
