// placeholder until the status table lands
